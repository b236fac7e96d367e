#include "search/categories.h"
