#include "search/case_fold.h"
