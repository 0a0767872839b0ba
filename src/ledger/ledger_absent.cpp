#include "ledger/ledger.h"

// The ledger of a build made without SQLite: every file fails to open with the reason, so that
// uploads go on unrecorded and --require-ledger refuses.
namespace ledger {

namespace {

Error Absent() {
    return Error{0, "this build of Vellumix has no ledger (it was built without SQLite)"};
}

}  // namespace

bool Available() {
    return false;
}

Ledger::~Ledger() = default;

void Ledger::Close() {}

Error Ledger::Open(const std::string&, Access) {
    return Absent();
}

Error Ledger::RecordImage(const ImageRecord&) {
    return Absent();
}

Error Ledger::BeginUploads(const std::vector<UploadStart>&, std::vector<std::int64_t>&) {
    return Absent();
}

Error Ledger::FinishUploads(const std::vector<UploadEnd>&) {
    return Absent();
}

void Ledger::DeferCheckpoints() {}

Error Ledger::Checkpoint() {
    return Absent();
}

Error Ledger::History(const HistoryFilter&, std::vector<UploadRow>&) {
    return Absent();
}

Error Ledger::Status(const std::string&, int, const std::string&, DeviceStatus&) {
    return Absent();
}

Error Ledger::ImageFiles(const std::string&, std::vector<ImageFile>&) {
    return Absent();
}

}  // namespace ledger
