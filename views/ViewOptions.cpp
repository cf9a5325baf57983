#include "views/ViewOptions.h"

#include <CLI/CLI.hpp>

void addViewOptions(CLI::App& app, ViewSettings& views, OptionRules& rules) {
    app.add_flag("--headless", views.headless, "open no windows, even where a display exists");
    app.add_option("--live", views.liveFolder,
                   "write frame.jpg, trail.jpg and status.json to DIR at each tick")
        ->type_name("DIR")
        ->check(notEmpty);
    rules.cannotGoWith.emplace_back("--record", "--live");
}
