#include "search/content_matcher.h"
