// What each address and each network holds (connections, pending registrations), with the networks ordered by how
// much they hold, so that a limit is checked and the busiest network found without a scan.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

namespace crw::server {

// Not thread-safe: its owner's lock guards it. `Key` names one held thing; a network's keys are kept in order.
template <typename Key>
class NetworkBooks {
public:
    std::size_t fromAddress(const std::string& address) const
    {
        auto it = perAddress_.find(address);
        return it == perAddress_.end() ? 0 : it->second;
    }
    std::size_t inNetwork(const std::string& network) const
    {
        auto it = perNetwork_.find(network);
        return it == perNetwork_.end() ? 0 : it->second.size();
    }
    const std::set<Key>& keysOf(const std::string& network) const { return perNetwork_.at(network); }
    // (count, network) pairs, the busiest last.
    const std::set<std::pair<std::size_t, std::string>>& byLoad() const { return busiest_; }

    void add(const std::string& address, const std::string& network, Key key)
    {
        ++perAddress_[address];
        auto& keys = perNetwork_[network];
        busiest_.erase({keys.size(), network});
        keys.insert(std::move(key));
        busiest_.emplace(keys.size(), network);
    }
    void remove(const std::string& address, const std::string& network, const Key& key)
    {
        auto count = perAddress_.find(address);
        if (count != perAddress_.end() && --count->second == 0)
            perAddress_.erase(count);
        auto keys = perNetwork_.find(network);
        if (keys == perNetwork_.end())
            return;
        busiest_.erase({keys->second.size(), network});
        keys->second.erase(key);
        if (keys->second.empty())
            perNetwork_.erase(keys);
        else
            busiest_.emplace(keys->second.size(), network);
    }
    void clear()
    {
        perAddress_.clear();
        perNetwork_.clear();
        busiest_.clear();
    }

private:
    std::unordered_map<std::string, std::size_t> perAddress_;
    std::unordered_map<std::string, std::set<Key>> perNetwork_;
    std::set<std::pair<std::size_t, std::string>> busiest_;
};

} // namespace crw::server
