#include "core/corvexd.h"

int main(int argc, char** argv) { return corvexd::runDaemon(argc, argv); }
