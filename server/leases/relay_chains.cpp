#include "server/leases/relay_chains.h"

namespace tolmark {

void RelayChains::add(ClientRecord& record) {
    std::uint32_t& head = heads_.slot(record.seenVia);
    const std::uint32_t link = RecordStore::linkOf(record);
    record.sameRelay_ = head;
    record.previousRelay_ = 0;
    if (ClientRecord* following = store_.at(head)) following->previousRelay_ = link;
    head = link;
    record.relayLinked_ = true;
}

void RelayChains::remove(ClientRecord& record) {
    if (!record.relayLinked_) return;
    if (ClientRecord* following = store_.at(record.sameRelay_)) following->previousRelay_ = record.previousRelay_;
    if (ClientRecord* before = store_.at(record.previousRelay_)) {
        before->sameRelay_ = record.sameRelay_;
    } else if (std::uint32_t* head = heads_.find(record.seenVia)) {
        if (record.sameRelay_ == 0)
            heads_.erase(record.seenVia);
        else
            *head = record.sameRelay_;
    }
    record.sameRelay_ = 0;
    record.previousRelay_ = 0;
    record.relayLinked_ = false;
}

ClientRecord* RelayChains::first(Ipv4 seenVia) {
    const std::uint32_t* head = heads_.find(seenVia);
    return head == nullptr ? nullptr : store_.at(*head);
}

}  // namespace tolmark
