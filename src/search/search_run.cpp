#include "search/search_run.h"
