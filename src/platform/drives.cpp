#include "platform/drives.h"
