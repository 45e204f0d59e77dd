#include "velmora/daemon/main.hpp"

int main(int argc, char** argv) { return velmora::daemon::main(argc, argv); }
