// The device the agent plays when no data file is given.
#ifndef AGENT_DEMO_DEVICE_H
#define AGENT_DEMO_DEVICE_H

#include <ctime>
#include <string_view>

#include "store.h"

// The demo device as NAME=value lines, in the data file syntax.
std::string_view demoDeviceText();

// Fills the store with the demo device through the data file loader.
void loadDemoDevice(TagStore& store);

// Sets TAG_DATETIME_DATE and TAG_DATETIME_TIME to the moment (UTC), where
// the store holds them, so the demo device shows a running clock.
void refreshDemoClock(TagStore& store, time_t now);

#endif
