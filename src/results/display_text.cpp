#include "results/display_text.h"
