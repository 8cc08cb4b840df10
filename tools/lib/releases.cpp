#include "releases.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "files.h"
#include "names.h"
#include "verify.h"

namespace fs = std::filesystem;

Release unchecked(const std::string &name, const std::string &why) {
    Release release;
    release.name = release.relative = name;
    release.not_checked = why;
    return release;
}

std::string joined(const std::string &folder, const std::string &entry) {
    bool ends_in_separator =
        !folder.empty() && (folder.back() == '/' || folder.back() == folder_separator);
    return ends_in_separator ? folder + entry : folder + folder_separator + entry;
}

namespace {

// A list line longer than this names no file the platform can open.
#ifdef _WIN32
constexpr std::size_t longest_list_line = 32767 * 3; // wide characters, as UTF-8
#else
constexpr std::size_t longest_list_line = 4096;
#endif

} // namespace

struct Releases::Walk {
  public:
    Walk(const Settings &settings, std::vector<std::string> operands, std::size_t reach)
        : settings_(settings), operands_(std::move(operands)), reach_(reach) {}

    bool open(std::string &error) {
        if (settings_.files_from.empty())
            return true;
        if (settings_.files_from == "-") {
            set_binary_mode(stdin);
            list_ = stdin;
            return true;
        }
        fs::path path = reachable_path(settings_.files_from);
        list_ = open_file(path, "rb");
        int why = errno;
        std::error_code ec;
        // Linux opens a folder and fails at the first read; Windows refuses
        // it as "Permission denied". Either way, say what it is.
        if (fs::is_directory(path, ec)) {
            why = EISDIR;
            if (list_)
                std::fclose(list_);
            list_ = nullptr;
        }
        if (list_)
            return true;
        error = escaped_name(settings_.files_from) + ": cannot open: " + std::strerror(why);
        return false;
    }

    ~Walk() {
        if (list_ && list_ != stdin)
            std::fclose(list_);
    }

    // The next entry, or false when there are no more.
    bool next(Release &release) {
        // Kept full, a release at a time: a worker waiting for the next
        // release never waits for a batch of opens.
        if (ahead_.size() < reach_)
            run_ahead();
        if (ahead_.empty())
            return next_entry(release, false);
        release = std::move(ahead_.front());
        ahead_.pop_front();
        return true;
    }

    // Why the list could not be read to its end; empty when it was.
    const std::string &list_error() const { return list_error_; }

    const std::string &first_operand() const { return operands_.front(); }

  private:
    struct Level {
        Folder folder;
        std::string name, relative;
        std::vector<std::string> subfolders;
        std::size_t next;
    };

    // Walks on to the reach, asking the disk for each release's file.
    void run_ahead() {
        while (ahead_.size() < reach_ && !walk_.empty()) {
            Release release;
            if (!next_entry(release, true))
                break;
            if (release.folder && release.information_files.size() == 1) {
                release.ahead = std::make_shared<FileAhead>();
                request_file_in(release.folder, release.information_files.front(), *release.ahead);
            }
            ahead_.push_back(std::move(release));
        }
    }

    // The next entry, or false when there are no more; with `in_walk`,
    // false too where the walk under an operand ends.
    bool next_entry(Release &release, bool in_walk) {
        for (;;) {
            if (!walk_.empty()) {
                if (next_in_walk(release)) {
                    ++found_;
                    return true;
                }
                continue;
            }
            if (walking_) {
                walking_ = false;
                if (found_ == 0) {
                    release = unchecked(walked_operand_, "no release found");
                    return true;
                }
            }
            if (in_walk)
                return false;
            std::string given;
            if (next_operand_ < operands_.size()) {
                given = operands_[next_operand_++];
            } else {
                std::string why;
                if (!read_listed(given, why))
                    return false;
                if (!why.empty()) {
                    release = unchecked(given, why);
                    return true;
                }
                if (path_matches_any(settings_.excludes, given))
                    continue;
            }
            if (given_entry(given, release))
                return true;
        }
    }

    bool given_entry(const std::string &given, Release &release) {
        int error = 0;
        Folder folder = open_operand_folder(given, error);
        if (folder && settings_.recursive) {
            walking_ = true;
            found_ = 0;
            walked_operand_ = given;
            if (!visit(folder, given, "", release))
                return false;
            ++found_;
            return true;
        }
        // An operand of -r that is missing is an outage (a share not
        // mounted), never a release that fails.
        if (!folder && settings_.recursive && error != ENOTDIR) {
            release = unchecked(given, "cannot open folder: " + walk_error_text(error));
            return true;
        }
        // A folder that cannot be listed still has its qor.nfo opened by
        // that name: the presence stage then says what is wrong.
        release = {given, given, "", reachable_path(given), folder, {}, {}};
        std::vector<FolderEntry> entries;
        if (folder && list_folder(folder, entries) == 0)
            release.information_files = information_files(entries);
        return true;
    }

    static std::vector<std::string> information_files(const std::vector<FolderEntry> &entries) {
        std::vector<std::string> files;
        for (const FolderEntry &entry : entries)
            if (is_information_file_name(entry.name))
                files.push_back(entry.name);
        std::sort(files.begin(), files.end());
        return files;
    }

    // Lists a folder of the walk: its subfolders go on the walk, and it is a
    // release when it holds an information file.
    bool visit(const Folder &folder, const std::string &name, const std::string &relative,
               Release &release) {
        std::vector<FolderEntry> entries;
        if (int error = list_folder(folder, entries)) {
            release = unchecked(name, "cannot read folder: " + walk_error_text(error));
            release.relative = relative;
            return true;
        }
        std::vector<std::string> subfolders;
        for (const FolderEntry &entry : entries)
            if (entry.folder && !is_information_file_name(entry.name))
                subfolders.push_back(entry.name);
        std::sort(subfolders.begin(), subfolders.end());
        if (!subfolders.empty())
            walk_.push_back({folder, name, relative, std::move(subfolders), 0});
        std::vector<std::string> files = information_files(entries);
        if (files.empty())
            return false;
        release = {name, relative, "", {}, folder, std::move(files), {}};
        return true;
    }

    bool next_in_walk(Release &release) {
        Level &level = walk_.back();
        if (level.next == level.subfolders.size()) {
            walk_.pop_back();
            return false;
        }
        const std::string &entry = level.subfolders[level.next++];
        std::string name = joined(level.name, entry);
        std::string relative = level.relative.empty() ? entry : level.relative + "/" + entry;
        if (path_matches_any(settings_.excludes, relative))
            return false;
        int error = 0;
        Folder folder = open_subfolder(level.folder, entry, error);
        if (!folder) {
            release = unchecked(name, "cannot open folder: " + walk_error_text(error));
            release.relative = relative;
            return true;
        }
        return visit(folder, name, relative, release);
    }

    // The next path of the list in `path`; `why` is set when the line
    // cannot name a path. False at the end of the list, or when it cannot
    // be read further (list_error says why).
    bool read_listed(std::string &path, std::string &why) {
        if (!list_)
            return false;
        const int end = settings_.null_separated ? '\0' : '\n';
        for (;;) {
            path.clear();
            ++line_;
            bool too_long = false, holds_nul = false;
            int c;
            while ((c = std::getc(list_)) != EOF && c != end) {
                holds_nul = holds_nul || c == '\0';
                if (path.size() < longest_list_line)
                    path += static_cast<char>(c);
                else
                    too_long = true;
            }
            if (c == EOF && std::ferror(list_)) {
                list_error_ = escaped_name(list_name()) + ": cannot read: " + std::strerror(errno);
                return false;
            }
            // A list made on Windows ends its lines in CR LF.
            if (!settings_.null_separated && !path.empty() && path.back() == '\r' && !too_long)
                path.pop_back();
            if (too_long || holds_nul) {
                why = too_long ? "longer than " + std::to_string(longest_list_line) + " bytes"
                               : "holds a NUL byte";
                why = "line " + std::to_string(line_) + " of the list " + why;
                ++listed_;
                return true;
            }
            if (!path.empty()) {
                ++listed_;
                return true;
            }
            if (c == EOF) {
                if (listed_ == 0) {
                    listed_ = 1; // said once
                    path = list_name();
                    why = "the list names no path";
                    return true;
                }
                return false;
            }
        }
    }

    std::string list_name() const {
        return settings_.files_from == "-" ? "standard input" : settings_.files_from;
    }

    const Settings &settings_;
    std::vector<std::string> operands_;
    std::size_t next_operand_ = 0;
    std::FILE *list_ = nullptr;
    std::uint64_t line_ = 0, listed_ = 0;
    std::string list_error_;
    std::vector<Level> walk_;
    bool walking_ = false;
    std::uint64_t found_ = 0;
    std::string walked_operand_;
    std::size_t reach_;
    std::deque<Release> ahead_;
};

Releases::Releases(const Settings &settings, std::vector<std::string> operands, std::size_t reach)
    : walk_(std::make_unique<Walk>(settings, std::move(operands), reach)) {}
Releases::~Releases() = default;
bool Releases::open(std::string &error) { return walk_->open(error); }
bool Releases::next(Release &release) { return walk_->next(release); }
const std::string &Releases::list_error() const { return walk_->list_error(); }
const std::string &Releases::first_operand() const { return walk_->first_operand(); }
