// qoragent's main(): the process entry with the table agents as its loader.
#include "agent/tvxmain.h"
#include "table_agents/load_agents.h"

int main(int argc, char** argv) {
  return QorAgentMain(argc, argv, LoadAgents);
}
