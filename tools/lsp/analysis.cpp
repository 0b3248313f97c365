#include "tools/lsp/analysis.h"
