#include "results/result_store.h"
