// An indexed field of a client record written past the client table: refused, since the
// table's indexes would no longer find the record.
#include "server/leases/client_table.h"

void changeAddress(tolmark::ClientTable& table, tolmark::ClientRecord& record) {
#ifdef COMPILE_FAIL_CONTROL
    table.setAddress(record, 7);
#else
    (void)table;
    record.address = 7;
#endif
}
