#pragma once

#include "core/FileNames.h"

#include <string>
#include <vector>

// The night products in a folder that the web view serves (no link, no
// file of another user), newest night first.
std::vector<ProductFile> listProducts(const std::string& folder);
