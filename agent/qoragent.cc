#include "agent/tvxmain.h"

int main(int argc, char** argv) { return QorAgentMain(argc, argv); }
