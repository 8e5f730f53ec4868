#include "server/leases/list_links.h"

#include <algorithm>
#include <vector>

namespace tolmark {

namespace {

constexpr std::uint64_t kLabelEnd = std::uint64_t{1} << 63;
constexpr std::uint64_t kLabelStep = std::uint64_t{1} << 32;

}  // namespace

void ListLinks::linkAfter(ClientList list, ClientRecord* after, ClientRecord& record) {
    const std::size_t l = slot(list);
    const std::uint32_t link = RecordStore::linkOf(record);
    labelBetween(list, after, record);
    record.previous_ = after == nullptr ? 0 : RecordStore::linkOf(*after);
    record.next_ = after == nullptr ? heads_[l] : after->next_;
    if (after == nullptr)
        heads_[l] = link;
    else
        after->next_ = link;
    if (ClientRecord* following = store_.at(record.next_))
        following->previous_ = link;
    else
        tails_[l] = link;
    record.list_ = list;
    ++sizes_[l];
}

void ListLinks::unlink(ClientRecord& record) {
    if (!isList(record.list_)) return;
    const std::size_t l = slot(record.list_);
    if (ClientRecord* before = store_.at(record.previous_))
        before->next_ = record.next_;
    else
        heads_[l] = record.next_;
    if (ClientRecord* following = store_.at(record.next_))
        following->previous_ = record.previous_;
    else
        tails_[l] = record.previous_;
    --sizes_[l];
    record.next_ = 0;
    record.previous_ = 0;
    record.list_ = ClientList::None;
}

void ListLinks::labelBetween(ClientList list, ClientRecord* previous, ClientRecord& record) {
    const std::uint64_t low = previous == nullptr ? 0 : previous->label_;
    ClientRecord* following = previous == nullptr ? first(list) : next(*previous);
    std::uint64_t high = following == nullptr ? kLabelEnd : following->label_;
    if (high - low < 2) {
        // No label left between the two: spread the run after `previous` over a wider span.
        // The run grows until its span exceeds the square of its length, which keeps the
        // relabelling to O(log n) records per insertion on average.
        std::vector<ClientRecord*> run;
        ClientRecord* end = following;
        std::uint64_t endLabel = high;
        while (end != nullptr) {
            run.push_back(end);
            end = next(*end);
            endLabel = end == nullptr ? kLabelEnd : end->label_;
            const std::uint64_t length = run.size() + 1;
            if (endLabel - low > length * length) break;
        }
        const std::uint64_t step = (endLabel - low) / (run.size() + 1);
        for (std::size_t i = 0; i < run.size(); ++i) run[i]->label_ = low + step * (i + 1);
        high = following->label_;
    }
    record.label_ = following == nullptr ? low + std::min(kLabelStep, (kLabelEnd - low) / 2) : low + (high - low) / 2;
}

}  // namespace tolmark
