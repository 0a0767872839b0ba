#include "platform/log_listener_qt.h"

// How the listener cuts what arrives into lines, and ends a client: the same for the
// Unix-domain socket and the named pipe.
namespace platform {

void LogListener::EmitLines() {
    qsizetype start = 0;
    for (qsizetype end = pending_.indexOf('\n'); end >= 0; end = pending_.indexOf('\n', start)) {
        qsizetype lineEnd = end;
        if (lineEnd > start && pending_[lineEnd - 1] == '\r') {
            --lineEnd;
        }
        emit LineReceived(pending_.mid(start, lineEnd - start));
        start = end + 1;
    }
    pending_.remove(0, start);
    if (pending_.size() > kMaxLogLineBytes) {
        emit LineReceived(pending_);
        pending_.clear();
    }
}

// The client left (or broke): what it sent without a final line feed is still a line.
void LogListener::EndClient() {
    if (!pending_.isEmpty()) {
        emit LineReceived(pending_);
        pending_.clear();
    }
    DropClient();
    emit ClientDisconnected();
}

}  // namespace platform
