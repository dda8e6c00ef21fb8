// kelvra-sync-server [DATADIR [PORT]]
#include "host/startup.h"

int main(int argc, char** argv) { return kelvra::RunServer(argc, argv); }
