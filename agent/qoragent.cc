#include "agent/tvxmain.h"
#include "tables/load_agents.h"

int main(int argc, char** argv) {
  return QorAgentMain(argc, argv, LoadAgents);
}
