#include "demo_device.h"

#include "data_file.h"
#include "tag_convert.h"
#include "tag_vocabulary.h"

namespace {

// A small rack controller with one analogue input (a temperature probe) and
// one network interface. Integers are hexadecimal, as on the command line.
constexpr std::string_view DEMO_DEVICE = R"(
TAG_DEV_ID=2A
TAG_DEV_LABEL=Demo rack controller
TAG_DEV_TYPE=3
TAG_DEV_STATE=1
TAG_DEV_STATUS=0
TAG_DEV_NDISCINPUT=8
TAG_DEV_NDISCOUTPUT=4
TAG_DEV_NANALOGINPUT=1
TAG_DEV_NANALOGOUTPUT=0

TAG_SITE_ID=SITE-0001
TAG_SITE_LABEL=Demo site
TAG_SITE_NMS_ADDRESS=127.0.0.1

# Analogue input 1: a temperature probe in degrees Celsius.
TAG_IO_SAMPLED_VALUE=21.5
TAG_IO_OFFSET=0
TAG_IO_GAIN=1
TAG_AI_CALCULATED_VALUE=21.5
TAG_AI_ALARM_LOW_WARN=5
TAG_AI_ALARM_LOW_ERR=0
TAG_AI_ALARM_HIGH_WARN=35
TAG_AI_ALARM_HIGH_ERR=45
TAG_AI_SAMPLE_RATE=A
TAG_AI_DISPLAY_UNIT=degC

TAG_NET_IF_NAME=eth0
TAG_NET_IF_ADDRESS=192.0.2.10
TAG_NET_IF_NETMASK=255.255.255.0
TAG_NET_IF_GATEWAY=192.0.2.1

TAG_VERSION=10000
TAG_DATETIME_DATE=1970-01-01
TAG_DATETIME_TIME=00:00:00
)";

void putText(TagStore& store, const char* name, const char* text) {
    const TagEntry* entry = tagByName(name);
    if (entry && store.find(entry->id)) store.put(std::unique_ptr<VTag>(makeTag(*entry, text)));
}

}  // namespace

std::string_view demoDeviceText() { return DEMO_DEVICE; }

void loadDemoDevice(TagStore& store) { loadTagText(DEMO_DEVICE, store); }

void refreshDemoClock(TagStore& store, time_t now) {
    tm parts;
    if (!gmtime_r(&now, &parts)) return;
    char date[16], time[16];
    strftime(date, sizeof date, "%Y-%m-%d", &parts);
    strftime(time, sizeof time, "%H:%M:%S", &parts);
    putText(store, "TAG_DATETIME_DATE", date);
    putText(store, "TAG_DATETIME_TIME", time);
}
