#include "budget/BudgetOptions.h"

#include <CLI/CLI.hpp>

void addBudgetOptions(CLI::App& app, BudgetSettings& settings) {
    app.add_flag("--budget", settings.print, "print at the end what each part cost the loop and each thread");
}
