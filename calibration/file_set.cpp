#include "file_set.h"

#include <opencv2/core.hpp>

#include <filesystem>
#include <iostream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace file_set {

std::function<Step(const std::string& step)> beforeStep;

namespace {

namespace fs = std::filesystem;

struct Entry {
    std::string name;
    bool old = false;   // a file was there before
    bool fresh = false; // a new file takes its place (else it is removed)
};

// Thrown by a step that a test stops, to leave everything as a killed process would.
struct Stopped {};

bool run(const std::string& step, const std::function<bool()>& action) {
    const Step s = beforeStep ? beforeStep(step) : Step::Go;
    if (s == Step::Stop) {
        throw Stopped{};
    }
    return s == Step::Go && action();
}

std::string withInfix(const std::string& name, const char* infix) {
    const size_t dot = name.rfind('.');
    return name + infix + (dot == std::string::npos ? std::string() : name.substr(dot));
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

bool removeIfThere(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
    return !ec;
}

bool renameOver(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
}

// Flushes a file or a folder's entries to the disk; closing is checked too, as a
// delayed write error shows up there.
bool syncPath(const std::string& path, bool folder) {
#ifdef _WIN32
    if (folder) {
        return true; // Windows has no handle to flush a folder through
    }
    const int fd = _open(path.c_str(), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        return false;
    }
    const bool synced = _commit(fd) == 0;
    return _close(fd) == 0 && synced;
#else
    const int fd = ::open(path.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDWR) | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
#endif
}

bool writeJournal(const std::string& dir, const std::vector<Entry>& entries) {
    const std::string staged = dir + "/" + stagedName(journalName);
    try {
        {
            cv::FileStorage out(staged, cv::FileStorage::WRITE);
            if (!out.isOpened()) {
                return false;
            }
            out << "entries"
                << "[";
            for (const Entry& e : entries) {
                out << "{"
                    << "name" << e.name << "old" << int(e.old) << "new" << int(e.fresh) << "}";
            }
            out << "]";
        }
        cv::FileStorage back(staged, cv::FileStorage::READ);
        if (!back.isOpened() || back["entries"].size() != entries.size()) {
            return false;
        }
    } catch (const cv::Exception&) {
        return false;
    }
    return syncPath(staged, false) && renameOver(staged, dir + "/" + journalName) &&
           syncPath(dir, true);
}

bool readJournal(const std::string& path, std::vector<Entry>& entries) {
    try {
        cv::FileStorage in(path, cv::FileStorage::READ);
        const cv::FileNode list = in["entries"];
        if (!in.isOpened() || !list.isSeq()) {
            return false;
        }
        for (const cv::FileNode& n : list) {
            Entry e;
            n["name"] >> e.name;
            e.old = static_cast<int>(n["old"]) != 0;
            e.fresh = static_cast<int>(n["new"]) != 0;
            // A name is a file of this folder, never a path out of it.
            if (e.name.empty() || e.name.find('/') != std::string::npos ||
                e.name.find('\\') != std::string::npos || e.name == "..") {
                return false;
            }
            entries.push_back(e);
        }
    } catch (const cv::Exception&) {
        return false;
    }
    return true;
}

// Puts the old set back: the backups over whatever is there, and new files that had no
// old version removed. Then the journal goes.
bool undo(const std::string& dir, const std::vector<Entry>& entries) {
    bool ok = true;
    for (const Entry& e : entries) {
        const std::string path = dir + "/" + e.name;
        const std::string backup = dir + "/" + backupName(e.name);
        if (exists(backup)) {
            ok = renameOver(backup, path) && ok;
        } else if (!e.old) {
            ok = removeIfThere(path) && ok;
        } // else the old file was never moved
        removeIfThere(dir + "/" + stagedName(e.name));
    }
    if (ok) {
        ok = syncPath(dir, true) && removeIfThere(dir + "/" + journalName) && syncPath(dir, true);
    }
    return ok;
}

} // namespace

std::string stagedName(const std::string& name) {
    return withInfix(name, ".new");
}

std::string backupName(const std::string& name) {
    return withInfix(name, ".old");
}

bool recover(const std::string& dir, const std::vector<std::string>& names) {
    const std::string journal = dir + "/" + journalName;
    if (exists(journal)) {
        std::vector<Entry> entries;
        if (!readJournal(journal, entries) || !undo(dir, entries)) {
            std::cout << "cannot undo the unfinished replacement of files in " << dir << " that "
                      << journal << " describes; its files may not belong together" << std::endl;
            return false;
        }
        std::cout << "an unfinished replacement of files in " << dir
                  << " was undone: the previous files are in use" << std::endl;
    }
    // Without a journal, staged files never counted and backups are of a finished set.
    for (const std::string& name : names) {
        removeIfThere(dir + "/" + stagedName(name));
        removeIfThere(dir + "/" + backupName(name));
    }
    removeIfThere(dir + "/" + stagedName(journalName));
    return true;
}

bool replace(const std::string& dir, const std::vector<File>& files,
             const std::vector<std::string>& removals, std::string& why, std::string& failed) {
    std::vector<std::string> names;
    for (const File& f : files) {
        names.push_back(f.name);
    }
    names.insert(names.end(), removals.begin(), removals.end());
    if (!recover(dir, names)) {
        why = "an earlier replacement in " + dir + " could not be undone";
        failed = journalName;
        return false;
    }
    std::vector<Entry> entries;
    for (const File& f : files) {
        entries.push_back({f.name, exists(dir + "/" + f.name), true});
    }
    for (const std::string& name : removals) {
        if (exists(dir + "/" + name)) {
            entries.push_back({name, true, false});
        }
    }
    const auto fail = [&](const std::string& verb, const std::string& name, bool undoing) {
        why = verb + " " + dir + "/" + name;
        failed = name.empty() ? dir : name;
        if (undoing) {
            if (!undo(dir, entries)) {
                std::cout << "cannot put back the previous files of " << dir << " after: " << why
                          << "; they are put back at the next start" << std::endl;
            }
        } else {
            for (const File& f : files) {
                removeIfThere(dir + "/" + stagedName(f.name));
            }
            removeIfThere(dir + "/" + stagedName(journalName));
        }
        return false;
    };
    try {
        for (const File& f : files) {
            const std::string staged = dir + "/" + stagedName(f.name);
            if (!run("write " + f.name, [&] { return f.write(staged); }) ||
                !run("check " + f.name, [&] { return f.check(staged); }) ||
                !run("sync " + f.name, [&] { return syncPath(staged, false); })) {
                return fail("cannot write", f.name, false);
            }
        }
        // From here on a crash is undone by the next recover().
        if (!run("journal", [&] { return writeJournal(dir, entries); })) {
            return fail("cannot write", journalName, true);
        }
        for (const Entry& e : entries) {
            const std::string path = dir + "/" + e.name;
            if (e.old && !run("back up " + e.name,
                              [&] { return renameOver(path, dir + "/" + backupName(e.name)); })) {
                return fail("cannot replace", e.name, true);
            }
        }
        for (const Entry& e : entries) {
            const std::string path = dir + "/" + e.name;
            if (e.fresh && !run("rename " + e.name,
                                [&] { return renameOver(dir + "/" + stagedName(e.name), path); })) {
                return fail("cannot replace", e.name, true);
            }
        }
        if (!run("sync folder", [&] { return syncPath(dir, true); })) {
            return fail("cannot sync", "", true);
        }
        // The new set counts once the journal is gone.
        if (!run("finish", [&] { return removeIfThere(dir + "/" + journalName); })) {
            return fail("cannot remove", journalName, true);
        }
        syncPath(dir, true);
        // Backups left here are cleared by the next recover().
        run("clean", [&] {
            for (const Entry& e : entries) {
                removeIfThere(dir + "/" + backupName(e.name));
            }
            return true;
        });
    } catch (const Stopped&) {
        why = "stopped";
        return false;
    }
    return true;
}

} // namespace file_set
