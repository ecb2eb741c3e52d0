// Delivery of VXLOGENT rows to the table's live objects. Kept apart from the
// manager's construction (which knows the table's agent class) so that the
// log kinds below the table agents can deliver rows without linking them.
#include "tables/tvx_vxlogent_manager.h"

tvx_vxlogent_manager* tvx_vxlogent_static_manager = nullptr;

unsigned tvx_vxlogent_manager::EventArrived(tvx_vxlogent_data_t* rows,
                                            int count) {
  if (tvx_vxlogent_static_manager == nullptr) {
    return 0;
  }
  return tvx_vxlogent_static_manager->AddDataToEvent(rows, count);
}

unsigned tvx_vxlogent_manager::AddDataToEvent(tvx_vxlogent_data_t* rows,
                                              int count) {
  return OfferToLive(reinterpret_cast<char*>(rows), count);
}
