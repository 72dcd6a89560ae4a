// What every run prints first, before any argument is looked at: the banner with the version and
// the notice of the vendors' libraries the tool loads.
#pragma once

void print_banner_and_notice();
