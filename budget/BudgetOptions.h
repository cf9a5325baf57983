#pragma once

#include "budget/Budget.h"

namespace CLI {
class App;
}

void addBudgetOptions(CLI::App& app, BudgetSettings& settings);
