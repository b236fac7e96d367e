#include "persist/settings.h"
