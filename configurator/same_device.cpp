#include "same_device.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <unordered_map>

#include "tagengine.h"

namespace tagconf {

namespace {

// Bytes that tell devices apart: family, address, scope (a link-local
// address on two links is two devices) and port.
std::string deviceKey(const sockaddr_storage& a) {
    std::string key(1, char(a.ss_family));
    if (a.ss_family == AF_INET) {
        const auto& four = reinterpret_cast<const sockaddr_in&>(a);
        key.append(reinterpret_cast<const char*>(&four.sin_addr), sizeof four.sin_addr);
        key.append(reinterpret_cast<const char*>(&four.sin_port), sizeof four.sin_port);
    } else {
        const auto& six = reinterpret_cast<const sockaddr_in6&>(a);
        key.append(reinterpret_cast<const char*>(&six.sin6_addr), sizeof six.sin6_addr);
        key.append(reinterpret_cast<const char*>(&six.sin6_scope_id), sizeof six.sin6_scope_id);
        key.append(reinterpret_cast<const char*>(&six.sin6_port), sizeof six.sin6_port);
    }
    return key;
}

void setPort(sockaddr_storage& a, uint16_t port) {
    if (a.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(a).sin_port = htons(port);
    if (a.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(a).sin6_port = htons(port);
}

bool strictLiteral(const std::string& host) {
    unsigned char bytes[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

// Each target's address by the engine's rule; a host that is not a strict
// literal (a name, or a numeric form such as 127.1) is looked up once
// however many targets name it.
class Resolver {
public:
    sockaddr_storage address(const tagpoll::Target& t) {
        sockaddr_storage to{};
        std::string why;
        if (strictLiteral(t.host)) {
            if (!tagengine::resolveHost(t.host, t.port, to, why)) to = sockaddr_storage{};
            return to;
        }
        auto [it, fresh] = names.try_emplace(t.host);
        if (fresh && !tagengine::resolveHost(t.host, 0, it->second, why)) it->second = sockaddr_storage{};
        to = it->second;
        setPort(to, t.port);
        return to;
    }

private:
    std::unordered_map<std::string, sockaddr_storage> names;
};

// Calls same(later, earlier) for each of count targets (targetAt(i) the
// i-th) whose device an earlier one already named; addresses gets every
// target's address.
template <typename TargetAt, typename Same>
void findSameDevices(size_t count, TargetAt targetAt, std::vector<sockaddr_storage>& addresses, Same same) {
    Resolver resolver;
    std::unordered_map<std::string, size_t> first;  // device key -> index of its first target
    first.reserve(count);
    addresses.clear();
    addresses.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        addresses.push_back(resolver.address(targetAt(i)));
        if (addresses.back().ss_family == AF_UNSPEC) continue;
        auto [it, fresh] = first.emplace(deviceKey(addresses.back()), i);
        if (!fresh && !same(i, it->second)) return;
    }
}

}  // namespace

bool resolveTargets(const State& state, std::vector<sockaddr_storage>& addresses, std::string& error) {
    error.clear();
    auto targetAt = [&state](size_t i) -> const tagpoll::Target& { return state.targets[i].target; };
    findSameDevices(state.targets.size(), targetAt, addresses, [&](size_t later, size_t earlier) {
        const TargetState& b = state.targets[later];
        const TargetState& a = state.targets[earlier];
        error = b.where + ": " + b.target.label() + " and " + a.target.label() + " (" + a.where +
                ") are one device, " + tagengine::endpointText(addresses[later]) + ": name each device once";
        return false;
    });
    return error.empty();
}

std::vector<tagpoll::Target> oneTargetPerDevice(const tagpoll::TargetList& list,
                                                std::vector<std::string>& notes) {
    return oneTargetPerDevice(list, list.targets(), notes);
}

std::vector<tagpoll::Target> oneTargetPerDevice(const tagpoll::TargetList& list,
                                                const std::vector<tagpoll::Target>& targets,
                                                std::vector<std::string>& notes) {
    std::vector<bool> repeated(targets.size());
    std::vector<sockaddr_storage> addresses;
    auto targetAt = [&targets](size_t i) -> const tagpoll::Target& { return targets[i]; };
    findSameDevices(targets.size(), targetAt, addresses, [&](size_t later, size_t earlier) {
        repeated[later] = true;
        notes.push_back(list.whereOf(targets[later]) + ": " + targets[later].label() + " is the device of " +
                        targets[earlier].label() + " (" + list.whereOf(targets[earlier]) + "), " +
                        tagengine::endpointText(addresses[later]) + ": saved once");
        return true;
    });
    std::vector<tagpoll::Target> kept;
    for (size_t i = 0; i < targets.size(); ++i)
        if (!repeated[i]) kept.push_back(targets[i]);
    return kept;
}

}  // namespace tagconf
