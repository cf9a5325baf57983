#include "upload/UploadOptions.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <sstream>

namespace {

// "22:00-06:30": local minutes of the day.
std::optional<std::pair<int, int>> parseWindow(const std::string& text) {
    int fromH = 0, fromM = 0, toH = 0, toM = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%2d:%2d-%2d:%2d%c", &fromH, &fromM, &toH, &toM, &end) != 4)
        return std::nullopt;
    if (fromH > 24 || toH > 24 || fromM > 59 || toM > 59 || fromH < 0 || toH < 0 || fromM < 0 || toM < 0)
        return std::nullopt;
    const int from = fromH * 60 + fromM, to = toH * 60 + toM;
    // 24:00 is the end of the day, the same time of day as 00:00; a window
    // from a time to itself would never open.
    if (from > 24 * 60 || to > 24 * 60 || from % (24 * 60) == to % (24 * 60)) return std::nullopt;
    return std::pair{from % (24 * 60), to == 24 * 60 ? 24 * 60 : to};
}

// What --upload-what names, or why not.
std::string readWhat(const std::string& text, UploadSettings* settings) {
    UploadSettings chosen;
    chosen.snapshots = chosen.products = false;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        if (item == "snapshots")
            chosen.snapshots = true;
        else if (item == "clips")
            chosen.clips = true;
        else if (item == "products")
            chosen.products = true;
        else if (item == "live")
            chosen.live = true;
        else
            return "expected a list of snapshots, clips, products and live";
    }
    if (settings != nullptr) {
        settings->snapshots = chosen.snapshots, settings->clips = chosen.clips;
        settings->products = chosen.products, settings->live = chosen.live;
    }
    return "";
}

// A remote given with its settings on the command line (":sftp,pass=...:",
// "sky,pass=...:") would put a secret where any user sees it: remotes are
// named as in rclone's configuration, which holds their settings.
std::string noSecret(const std::string& remote) {
    const size_t colon = remote.find(':');
    if (colon == std::string::npos || (colon == 0 && remote.size() == 1))
        return "expected an rclone remote and path, e.g. sky:station";
    if (colon == 0 || remote.find(',') < colon)
        return "name a remote of rclone's configuration: settings (and passwords) given on the command line "
               "show to every user";
    return "";
}

}  // namespace

void addUploadOptions(CLI::App& app, UploadSettings& settings, OptionRules& rules) {
    app.add_option("--upload", settings.remote,
                   "send files with rclone to REMOTE:PATH (a remote of rclone's config)")
        ->type_name("REMOTE:PATH")
        ->check(noSecret);
    app.add_option("--upload-config", settings.config, "rclone's configuration file (default: the user's)")
        ->type_name("FILE")
        ->check([](const std::string& path) {
            std::error_code error;
            return std::filesystem::is_regular_file(path, error) ? ""
                                                                 : "no such file: " + path.substr(0, 200);
        });
    app.add_option_function<std::string>(
           "--upload-what", [&settings](const std::string& text) { readWhat(text, &settings); },
           "what to send: snapshots,clips,products,live (default: snapshots,products)")
        ->type_name("LIST")
        ->check([](const std::string& text) { return readWhat(text, nullptr); });
    addNumber(app, "--upload-every", settings.everySeconds, "seconds between live uploads (default: 60)", "S",
              1, 86400);
    app.add_option_function<std::string>(
           "--upload-window", [&settings](const std::string& text) { settings.window = parseWindow(text); },
           "send only between these local times, e.g. 09:00-17:00 or 22:00-06:00")
        ->type_name("FROM-TO")
        ->check([](const std::string& text) {
            return parseWindow(text) ? "" : "expected HH:MM-HH:MM, two different times";
        });
    app.add_option("--upload-bwlimit", settings.bwlimit,
                   "rclone's --bwlimit, e.g. 1M or 08:00,512k 23:00,off")
        ->type_name("RATE")
        ->check(notEmpty);
    addNumber(app, "--upload-parallel", settings.parallel, "files sent at once (default: 1)", "N", 1, 16);
    // Tests wait for retries in seconds, not minutes.
    addNumber(app, "--upload-first-retry", settings.firstRetrySeconds, "", "S", 0.1, 3600)->group("");
    for (const char* option : {"--upload-config", "--upload-what", "--upload-every", "--upload-window",
                               "--upload-bwlimit", "--upload-parallel", "--upload-first-retry"})
        rules.needs.emplace_back(option, "--upload");
}

Result<std::unique_ptr<Uploader>> makeUploader(const UploadSettings& settings,
                                               const std::string& snapshotFolder,
                                               const std::string& clipsFolder, const FilesInUse* inUse,
                                               FILE* err) {
    if (settings.remote.empty()) return std::unique_ptr<Uploader>();
    auto uploader = std::make_unique<Uploader>(settings, snapshotFolder, clipsFolder, inUse, err);
    if (!uploader->start()) return Failure{"cannot keep the upload queue in " + snapshotFolder + "/.upload"};
    return uploader;
}
