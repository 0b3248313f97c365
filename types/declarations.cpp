#include "types/declarations.h"

namespace qxl {

DeclarationState declarations;

void DeclarationState::reset() { records.clear(); }

Declaration* new_declaration() { return &declarations.records.emplace_back(); }

}  // namespace qxl
