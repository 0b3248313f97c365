// Analyses for the language server: one in-process compile of a document
// and what it tells about the document's names.
#pragma once
