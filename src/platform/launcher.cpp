#include "platform/launcher.h"
