#include "search/directory_walk.h"
