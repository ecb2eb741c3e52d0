// The X7SRV.RNODESTS table manager and its registration. The one manager is
// created by x7srv_rnodests_init() when the agent loader registers the table and lives
// until the process ends.
#ifndef QOR_TABLES_X7SRV_RNODESTS_MANAGER_H_
#define QOR_TABLES_X7SRV_RNODESTS_MANAGER_H_

#include "framework/tables/table_manager.h"
#include "tables/x7srv_rnodests_schema.h"

class x7srv_rnodests_manager : public TableManager {
 public:
  x7srv_rnodests_manager(const char* appl, const char* table);

  // A new x7srv_rnodests_agent for the request, or null when it cannot be allocated.
  vandu* CreateVandu(RequestDetail* detail, ContextInfo* context) override;

  // Offers `count` rows to the table's live objects through the registered
  // manager: the last non-zero Dispatch result, or 0 (and the rows dropped)
  // when the table is not registered.
  static unsigned EventArrived(x7srv_rnodests_data_t* rows, int count);
  unsigned AddDataToEvent(x7srv_rnodests_data_t* rows, int count);
};

// Registers the table: the result of TableManager::RegisterWithManager, or
// MANAGER_NOT_CREATED when the manager cannot be allocated.
unsigned x7srv_rnodests_init();

extern x7srv_rnodests_manager* x7srv_rnodests_static_manager;
extern const char* const x7srv_rnodests_application;
extern const char* const x7srv_rnodests_table;
extern const char* const x7srv_rnodests_ident;

#endif  // QOR_TABLES_X7SRV_RNODESTS_MANAGER_H_
