// qxl-lsp: the language server for QXL sources.
int main() { return 0; }
