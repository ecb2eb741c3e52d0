// The TVX.VXMONLOG table manager and its registration. The one manager is
// created by tvx_vxmonlog_init() when the agent loader registers the table and lives
// until the process ends.
#ifndef QOR_TABLES_TVX_VXMONLOG_MANAGER_H_
#define QOR_TABLES_TVX_VXMONLOG_MANAGER_H_

#include "framework/tables/table_manager.h"
#include "tables/tvx_vxmonlog_schema.h"

class tvx_vxmonlog_manager : public TableManager {
 public:
  tvx_vxmonlog_manager(const char* appl, const char* table);

  // A new tvx_vxmonlog_agent for the request, or null when it cannot be allocated.
  vandu* CreateVandu(RequestDetail* detail, ContextInfo* context) override;

  // Offers `count` rows to the table's live objects through the registered
  // manager: the last non-zero Dispatch result, or 0 (and the rows dropped)
  // when the table is not registered.
  static unsigned EventArrived(tvx_vxmonlog_data_t* rows, int count);
  unsigned AddDataToEvent(tvx_vxmonlog_data_t* rows, int count);
};

// Registers the table: the result of TableManager::RegisterWithManager, or
// MANAGER_NOT_CREATED when the manager cannot be allocated.
unsigned tvx_vxmonlog_init();

extern tvx_vxmonlog_manager* tvx_vxmonlog_static_manager;
extern const char* const tvx_vxmonlog_application;
extern const char* const tvx_vxmonlog_table;
extern const char* const tvx_vxmonlog_ident;

#endif  // QOR_TABLES_TVX_VXMONLOG_MANAGER_H_
