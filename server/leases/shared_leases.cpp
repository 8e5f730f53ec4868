#include "server/leases/shared_leases.h"

#include "server/leases/client_table.h"

namespace tolmark {

LeaseFields LeaseFields::from(const ClientFields& f) {
    LeaseFields out;
    out.address = f.address;
    out.seenVia = f.seenVia;
    out.lastAccess = f.lastAccess;
    out.expiry = f.expiry;
    out.identity = f.identity;
    out.profile.assign(f.profile);
    out.hostName.assign(f.hostName);
    out.remark.assign(f.remark);
    return out;
}

LeaseFields LeaseFields::from(const ClientRecord& r) {
    LeaseFields out;
    out.address = r.address;
    out.seenVia = r.seenVia;
    out.lastAccess = r.lastAccess;
    out.expiry = r.expiry;
    out.identity = r.identity;
    out.profile.assign(r.profile);
    out.hostName.assign(r.hostName);
    out.remark.assign(r.remark);
    return out;
}

ClientFields LeaseFields::toClientFields() const {
    ClientFields f;
    f.address = address;
    f.seenVia = seenVia;
    f.lastAccess = lastAccess;
    f.expiry = expiry;
    f.identity = identity;
    f.profile = profile.view();
    f.hostName = hostName.view();
    f.remark = remark.view();
    return f;
}

}  // namespace tolmark
