#include "server/leases/shared_leases.h"

#include "server/leases/client_table.h"

namespace tolmark {

namespace {

// A table record and a client's fields name their parts alike; the record's are read in place,
// without the strings a ClientFields would make.
template <class Source>
LeaseFields leaseFieldsOf(const Source& s) {
    LeaseFields out;
    out.address = s.address;
    out.seenVia = s.seenVia;
    out.lastAccess = s.lastAccess;
    out.expiry = s.expiry;
    out.identity = s.identity;
    out.profile.assign(s.profile);
    out.hostName.assign(s.hostName);
    out.remark.assign(s.remark);
    return out;
}

}  // namespace

LeaseFields LeaseFields::from(const ClientFields& f) { return leaseFieldsOf(f); }

LeaseFields LeaseFields::from(const ClientRecord& r) { return leaseFieldsOf(r); }

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
