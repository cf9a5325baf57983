#include "Fakes.h"
#include "cli/CommandLine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace {

// Parses a command line given as one string of space-separated words; also
// returns what it printed.
std::pair<CommandLine, std::string> parse(const std::string& line) {
    const std::vector<std::string> args = words("trailcam " + line);
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    CapturedStream printed;  // a braced list is evaluated in order: parse first, then read
    return {parseCommandLine(static_cast<int>(argv.size()), argv.data(), printed.file, printed.file),
            printed.text()};
}

// Every setting in one line: flags as 0/1, the rest as given.
std::string summary(const Settings& s) {
    std::ostringstream o;
    const CameraSettings& in = s.camera;
    const ReplaySettings& r = s.replay;
    const ViewSettings& v = s.views;
    o << in.device << ' ' << in.size << ' ' << in.fps << ' ' << s.snapshots.folder << ' ' << s.record.base
      << ' ' << in.reconnectSeconds << ' ' << s.snapshots.minFreeMb << ' ' << v.liveFolder << '|' << r.input
      << ' ' << r.inputFps << ' ' << r.threads << ' ' << s.web.host << ':' << s.web.port << ' '
      << (s.web.allowedHosts.empty() ? "" : s.web.allowedHosts.back() + ' ') << in.listDevices << in.demo
      << v.headless << s.record.enabled << s.snapshots.panorama << s.snapshots.saveOnExit << r.show;
    return o.str();
}

}  // namespace

TEST(CommandLine, ReadsEachOptionAndRefusesMalformedValues) {
    for (const auto& [line, expected] : std::vector<std::pair<std::string, std::string>>{
             {"", "1 [640 x 480] 0 img 7 0 0 | 30 0 :0 0000000"},
             {"-d 0 -s 1280x720 --fps 7.5 -o night --record-to rec/a --save-on-exit --reconnect 5 --live www",
              "0 [1280 x 720] 7.5 night rec/a 5 0 www| 30 0 :0 0000010"},
             {"--device /dev/v4l/by-id/usb-cam --list-devices --headless --record --fps .5",
              "/dev/v4l/by-id/usb-cam [640 x 480] 0.5 img 7 0 0 | 30 0 :0 1011000"},
             {"--min-free 100 -i f/%05d.jpg --input-fps 2 --show --threads 3 --http 8080 --demo --panorama",
              "1 [640 x 480] 0 img 7 0 100 |f/%05d.jpg 2 3 127.0.0.1:8080 0100101"},
             {"--http [::1]:0 --http-host a --http-host sky.lan",
              "1 [640 x 480] 0 img 7 0 0 | 30 0 ::1:0 sky.lan 0000000"}}) {
        const auto [parsed, printed] = parse(line);
        EXPECT_FALSE(parsed.exitStatus) << line << ": " << printed;
        EXPECT_EQ(summary(parsed.settings), expected) << line;
    }
    // Refused, a feature a line, " | " between command lines.
    std::vector<std::string> refused;
    for (const std::string group :
         {"--size 640 | --size 0x480 | --size 640x480x3 | --device= | --fps fast | --fps 0 | --reconnect -1",
          "--bogus | --output= | extra | --input= | --live= | --record-to= | --demo --device 0 | --show",
          "--http 70000 | --http a:b | --http-host a",
          "--record --input a | --record --http 1 | --record --live d | --record --panorama",
          "--record --clips c | --record --mqtt mqtt://h | --record --reject-flashes",
          "--input-start 2026-12-07T22:00:00Z | --input a --input-start 2026-02-30T00:00:00Z",
          "--control brightness | --control Brightness=1 | --auto-exposure maybe | --gain 3 --demo",
          "--input x --exposure 5 | --exposure 5 --auto-exposure on | --demo --list-controls",
          "--mqtt ftp://h | --station roof | --keep-days 0 | --max-disk 20GB",
          "--timelapse sometimes | --keogram-every 5 | --clip-before 2",
          "--indi 70000 | --indi host: | --indi 7624 --demo | --indi 7624 --input a | --exposure-s 2",
          "--indi 7624 --exposure-s 0 | --indi 7624 --control brightness",
          "--depth 12 | --stretch asinh | --depth 8 --stretch asinh | --depth 16 --stretch curvy",
          "--depth 16 --record | --indi 7624 --control CCD.GAIN.X=1",
          "--night-only | --location 48.2 --night-only | --location 91,0 --night-only",
          "--location 48.2,16.4 --night-only 3 | --location 48.2,16.4x --night-only | --day-close-camera",
          "--input v --location 1,1 --night-only --day-close-camera | --location nan,0 --night-only",
          "--location 0,inf --night-only",
          "--upload nowhere | --upload :sftp,host=h,pass=x: | --upload :sftp,host=h,key_pem=x:",
          "--upload sky,password2=x:roof | --upload :local: | --upload s3:b --upload-window 25:00-01:00",
          "--upload s3:b --upload-window 00:00-00:00 | --upload s3:b --upload-window 24:00-24:00",
          "--upload s3:b --upload-window 24:00-00:00 | --upload s3:b --upload-what pictures",
          "--upload-every 5 | --upload s3:b --upload-parallel 0",
          "--flash-margin 20 | --flash-max 3 | --reject-flashes 0 | --reject-flashes 101",
          "--reject-flashes --flash-margin 0",
          "--quality-every 5 | --sky-quality --quality-every 0 | --sky-quality --sqm-zero 20",
          "--record --sky-quality | --segments --min-clear 0.5 | --sky-quality --min-clear 0.5",
          "--sky-quality --segments --min-clear 2"})
        for (size_t from = 0; from < group.size();) {
            const size_t bar = std::min(group.find(" | ", from), group.size());
            refused.push_back(group.substr(from, bar - from));
            from = bar + 3;
        }
    for (const std::string& line : refused) {
        const auto [parsed, printed] = parse(line);
        EXPECT_EQ(parsed.exitStatus, 2) << line;
        EXPECT_EQ(printed.rfind("trailcam: ", 0), 0u) << printed;
        EXPECT_EQ(printed.substr(printed.find('\n')), "\nTry 'trailcam --help' for more information.\n");
    }
    // A long value is refused like any malformed one, without a regular
    // expression's recursion running out of stack; a folder is no password file.
    const std::string longValue(100000, '1');
    for (const std::string& line :
         std::vector<std::string>{"--mqtt mqtt://" + longValue, "--http " + longValue, "--fps " + longValue,
                                  "--size " + longValue, "--control a=" + longValue,
                                  "--max-disk " + longValue, "--mqtt mqtt://h --mqtt-password-file /tmp",
                                  "--clip-max 5", "--upload s3:b --upload-config " + longValue})
        EXPECT_EQ(parse(line).first.exitStatus, 2) << line.substr(0, 40);
    EXPECT_EQ(parse("--clips c --clip-max 2.5").first.settings.clips.maxSeconds, 2.5);
    const UploadSettings upload =
        parse("--upload sky:roof --upload-what clips,live --upload-window 22:00-06:30 --upload-bwlimit 1M")
            .first.settings.upload;
    EXPECT_TRUE(upload.remote == "sky:roof" && !upload.snapshots && upload.clips && !upload.products &&
                upload.live && upload.window == std::pair(22 * 60, 6 * 60 + 30) && upload.bwlimit == "1M" &&
                upload.parallel == 1 && upload.everySeconds == 60);
    // Dusk to dawn: civil twilight unless another limit is given.
    for (const auto& [line, limit] :
         std::vector<std::pair<std::string, double>>{{"--location 48.2,16.4 --night-only", -6},
                                                     {"--night-only -12 --location -33.9,151.2", -12},
                                                     {"--location=48.2,-16.4 --night-only=-18", -18}}) {
        const Settings sun = parse(line).first.settings;
        EXPECT_EQ(sun.sun.nightOnly, limit) << line;
        EXPECT_TRUE(sun.sun.location && std::abs(sun.sun.location->first) > 33) << line;
    }
    const Settings knowWhen =
        parse(
            "--input v --input-start 2026-12-07T22:00:00.250Z --metadata --time-map --clips c "
            "--clip-before 1.5 --clip-after 7 --event-diff 900 --clip-memory 8")
            .first.settings;
    const ClipSettings& c = knowWhen.clips;
    using Controls = std::vector<std::pair<std::string, int64_t>>;
    EXPECT_EQ(parse("--exposure 100 --gain 3 --control brightness=-5 --control white_balance_automatic=0")
                  .first.settings.camera.controls,
              (Controls{{"auto_exposure", 1},
                        {"exposure_time_absolute", 100},
                        {"gain", 3},
                        {"brightness", -5},
                        {"white_balance_automatic", 0}}));
    EXPECT_EQ(parse("--auto-exposure on").first.settings.camera.controls, (Controls{{"auto_exposure", 3}}));
    // With --indi, --gain and --control set the INDI camera's numbers, not V4L2 controls.
    const Settings indi =
        parse(
            "--indi observatory.local:7625 --indi-camera ZWO_CCD --exposure-s 2.5 --gain 120 --control "
            "CCD_CONTROLS.Offset=10.5 --control CCD_OFFSET=-3")
            .first.settings;
    using Numbers = std::vector<std::pair<std::string, double>>;
    EXPECT_TRUE(indi.indi.enabled && indi.indi.host == "observatory.local" && indi.indi.port == 7625 &&
                indi.indi.camera == "ZWO_CCD" && indi.indi.exposureSeconds == 2.5 &&
                indi.camera.controls.empty());
    EXPECT_EQ(indi.indi.numbers,
              (Numbers{{"CCD_GAIN", 120}, {"CCD_CONTROLS.Offset", 10.5}, {"CCD_OFFSET", -3}}));
    const IndiSettings local = parse("--indi 7624").first.settings.indi;
    EXPECT_TRUE(local.enabled && local.host == "127.0.0.1" && local.port == 7624 &&
                local.exposureSeconds == 1);
    EXPECT_FALSE(parse("").first.settings.indi.enabled);
    const SnapshotSettings deep = parse("--depth 16 --stretch asinh --metadata").first.settings.snapshots;
    EXPECT_TRUE(deep.sixteenBits && deep.stretch == Stretch::asinh && deep.metadata);
    EXPECT_FALSE(parse("--depth 8").first.settings.snapshots.sixteenBits);
    EXPECT_TRUE(parse("").first.settings.snapshots.stretch == Stretch::linear);
    const Settings station =
        parse("--keep-days 30 --max-disk 2G --mqtt mqtts://[::1] --station roof").first.settings;
    const MqttSettings& mqtt = station.mqtt;
    EXPECT_TRUE(station.retention.keepDays == 30.0 && station.retention.maxBytes == int64_t{2} << 30 &&
                mqtt.host == "::1" && mqtt.port == 8883 && mqtt.tls && mqtt.givenStation == "roof");
    const Settings plain = parse("").first.settings;
    EXPECT_TRUE(plain.mqtt.host.empty() && !plain.retention.keepDays && !plain.retention.maxBytes &&
                plain.clips.folder.empty() && !plain.products.keogram && plain.products.timelapse.empty() &&
                plain.clips.eventDiff == 2000)
        << "no feature without its option";
    // Flashes kept out: --reject-flashes alone takes its default share.
    EXPECT_FALSE(plain.flashes.rule);
    for (const auto& [line, percent, margin, maxSeconds] :
         std::vector<std::tuple<std::string, double, int, double>>{
             {"--reject-flashes --demo", 5, 32, 10},
             {"--reject-flashes 7.5 --flash-margin 20 --flash-max 3", 7.5, 20, 3}}) {
        const std::optional<FlashRule>& rule = parse(line).first.settings.flashes.rule;
        EXPECT_TRUE(rule && rule->percent == percent && rule->margin == margin &&
                    rule->maxSeconds == maxSeconds)
            << line;
    }
    EXPECT_EQ(parse("--timelapse").first.settings.products.timelapseSettings.shows,
              TimelapseSettings::Shows::frame);
    EXPECT_EQ(parse("--timelapse both").first.settings.products.timelapseSettings.shows,
              TimelapseSettings::Shows::both);
    EXPECT_TRUE(knowWhen.replay.inputStart == 1796680800250 && knowWhen.snapshots.metadata &&
                knowWhen.snapshots.timeMap && c.folder == "c" && c.beforeSeconds == 1.5 &&
                c.afterSeconds == 7 && c.eventDiff == 900 && c.memoryBytes == 8 << 20);
    // --help: what a newcomer needs, a screen or so; --help-all: every option.
    const auto [help, helpText] = parse("--help");
    const auto [helpAll, allText] = parse("--help-all");
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(helpAll.exitStatus, 0);
    for (const char* shown : {"-d,--device DEV=1", "--demo", "-o,--output DIR=img", "--sky-quality",
                              "--meteors", "--http ADDR:PORT", "trailcam --help-all"})
        EXPECT_NE(helpText.find(shown), std::string::npos) << shown;
    EXPECT_EQ(helpText.find("--meteor-margin"), std::string::npos);
    EXPECT_LE(std::count(helpText.begin(), helpText.end(), '\n'), 80);
    for (const char* every :
         {"--meteor-margin", "--clip-memory", "--upload-bwlimit", "--hot-learn", "--stretch"})
        EXPECT_NE(allText.find(every), std::string::npos) << every;
    for (const std::string& text : {helpText, allText}) {
        std::istringstream helpLines(text);
        for (std::string line; std::getline(helpLines, line);)  // an option a line, none wrapped
            EXPECT_TRUE(line.size() <= 110 && (line.rfind("  -", 0) == 0 || line.rfind("   ", 0) != 0))
                << line;
    }
    EXPECT_EQ(parse("--version").second, "trailcam " TRAILCAM_VERSION "\n");
}

// The compose subcommand: its choice, its folder's default image, its own help.
TEST(CommandLine, ComposeReadsItsChoiceAndHasItsOwnHelp) {
    const auto [parsed, printed] = parse(
        "compose night/ --from 2026-12-07T22:00:00Z --exclude 2026-12-07T23:00:00Z/2026-12-07T23:10:00Z "
        "--all");
    ASSERT_FALSE(parsed.exitStatus) << printed;
    const ComposeSettings& c = parsed.settings.compose;
    EXPECT_TRUE(c.asked && c.folder == "night" && c.out == "night.jpg" && c.choice.all);
    EXPECT_TRUE(c.choice.from == 1796680800000 && !c.choice.to);
    using Ranges = std::vector<std::pair<int64_t, int64_t>>;
    EXPECT_EQ(c.choice.excludedRanges, (Ranges{{1796684400000, 1796685000000}}));
    EXPECT_FALSE(parse("").first.settings.compose.asked);
    for (const char* line :
         {"compose", "compose night --from 22:00", "compose night --exclude 2026-12-07T23:00:00Z",
          "compose night -o night.tiff", "compose night --stretch curvy", "compose night --min-clear 1.5"})
        EXPECT_EQ(parse(line).first.exitStatus, 2) << line;
    const auto [help, helpText] = parse("compose --help");
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(helpText.find("--exclude FROM/TO"), std::string::npos) << helpText;
}
