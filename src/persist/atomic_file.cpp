#include "persist/atomic_file.h"
