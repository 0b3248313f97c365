#include "tools/lsp/server.h"
