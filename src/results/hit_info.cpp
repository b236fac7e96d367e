#include "results/hit_info.h"
