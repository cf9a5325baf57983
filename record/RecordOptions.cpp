#include "record/RecordOptions.h"

#include "core/Options.h"

#include <CLI/CLI.hpp>

void addRecordOptions(CLI::App& app, RecordSettings& record) {
    app.add_flag("--record", record.enabled,
                 "record the camera to BASE.avi with intervals in BASE.xml instead");
    app.add_option("--record-to", record.base, "names of the recording's two files")
        ->type_name("BASE")
        ->capture_default_str()
        ->check(notEmpty);
}
