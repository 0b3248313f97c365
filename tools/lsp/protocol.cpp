#include "tools/lsp/protocol.h"
