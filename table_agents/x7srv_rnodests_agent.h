// The node-status agent class: one row describing the agent node, built when
// the object is created and stamped with the time and a rising sample number
// on every sample (a heartbeat). Created by
// x7srv_rnodests_manager::CreateVandu, destroyed by the runtime; samples come
// from one thread at a time.
#ifndef QOR_TABLE_AGENTS_X7SRV_RNODESTS_AGENT_H_
#define QOR_TABLE_AGENTS_X7SRV_RNODESTS_AGENT_H_

#include "tables/x7srv_rnodests_base.h"

class x7srv_rnodests_agent : public x7srv_rnodests_base {
 public:
  x7srv_rnodests_agent(RequestDetail* detail, ContextInfo* context,
                       TableManager* manager);
  ~x7srv_rnodests_agent() override;

  void TakeSample() override;

 protected:
  void TakeSampleConstructor();
  void TakeSampleDestructor();

  x7srv_rnodests_data_t NodeRow;
};

#endif  // QOR_TABLE_AGENTS_X7SRV_RNODESTS_AGENT_H_
