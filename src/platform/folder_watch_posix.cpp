#include "platform/folder_watch.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                        IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                        IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

bool IsFolderEntry(const std::string& folder, const dirent& entry) {
    if (entry.d_type == DT_DIR) {
        return true;
    }
    if (entry.d_type != DT_UNKNOWN) {
        return false;
    }
    struct stat status {};
    return lstat((folder + "/" + entry.d_name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

struct FolderWatch::System {
    int fd = -1;
    int rootWatch = -1;
    std::unordered_map<int, std::string> folders;  // watch -> the folder's path

    ~System() {
        if (fd >= 0) {
            close(fd);
        }
    }

    // Watches `top` and every folder below it. A folder that went meanwhile or cannot be read
    // is passed over; running out of the system's watches is an error.
    Error Add(const std::string& top) {
        std::vector<std::string> pending{top};
        while (!pending.empty()) {
            const std::string folder = std::move(pending.back());
            pending.pop_back();
            // The folder named may be a link to one; links below it are not followed.
            const int watch =
                inotify_add_watch(fd, folder.c_str(),
                                  folder == top ? kFolderEvents & ~IN_DONT_FOLLOW : kFolderEvents);
            if (watch < 0) {
                if (errno == ENOSPC || errno == ENOMEM || folder == top) {
                    return Error::OfErrno(errno).In(folder + ": cannot be watched");
                }
                continue;
            }
            folders[watch] = folder;
            if (rootWatch < 0) {
                rootWatch = watch;
            }
            DIR* listing = opendir(folder.c_str());
            if (listing == nullptr) {
                continue;
            }
            while (const dirent* entry = readdir(listing)) {
                const std::string name = entry->d_name;
                if (name != "." && name != ".." && IsFolderEntry(folder, *entry)) {
                    pending.push_back(folder + "/" + name);
                }
            }
            closedir(listing);
        }
        return {};
    }
};

FolderWatch::FolderWatch() = default;
FolderWatch::~FolderWatch() = default;

Error FolderWatch::Start(const std::string& folder) {
    system_ = std::make_unique<System>();
    system_->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (system_->fd < 0) {
        return Error::OfErrno(errno).In("cannot watch folders");
    }
    return system_->Add(folder);
}

Result<FolderWatch::State> FolderWatch::Wait(int timeoutMs) {
    pollfd readable{system_->fd, POLLIN, 0};
    const int ready = poll(&readable, 1, timeoutMs);
    if (ready <= 0) {
        // A signal ends the wait early; the caller asks what it was.
        if (ready < 0 && errno != EINTR) {
            return Error::OfErrno(errno);
        }
        return State::kQuiet;
    }
    State state = State::kQuiet;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t length = read(system_->fd, buffer, sizeof buffer);
        if (length <= 0) {
            if (length < 0 && errno == EINTR) {
                continue;
            }
            break;  // EAGAIN: everything queued was taken
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                state = State::kChanged;  // events were lost: the folder is looked at anyway
                continue;
            }
            if (event->wd == system_->rootWatch &&
                (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) {
                return State::kGone;
            }
            if (event->mask & IN_IGNORED) {
                system_->folders.erase(event->wd);
                continue;
            }
            if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO))) {
                // A new or renamed folder: watched (again, under its new path) with all it holds.
                const auto parent = system_->folders.find(event->wd);
                if (parent != system_->folders.end()) {
                    if (Error error = system_->Add(parent->second + "/" + event->name)) {
                        return error;
                    }
                }
            }
            state = State::kChanged;
        }
    }
    return state;
}

}  // namespace platform
