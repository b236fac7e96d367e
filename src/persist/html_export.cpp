#include "persist/html_export.h"
