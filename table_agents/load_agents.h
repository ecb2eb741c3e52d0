// The agent loader: registers the agent's tables with the runtime.
#ifndef QOR_TABLE_AGENTS_LOAD_AGENTS_H_
#define QOR_TABLE_AGENTS_LOAD_AGENTS_H_

// Registers the three tables with the runtime; always 0.
unsigned int LoadAgents();

#endif  // QOR_TABLE_AGENTS_LOAD_AGENTS_H_
