#include "results/results_tree.h"
