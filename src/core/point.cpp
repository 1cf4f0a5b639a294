#include "core/point.hpp"

#include <algorithm>

namespace karnoxel::core {

PayloadValue string_value(std::string text) {
    if (text.size() <= KEYWORD_MAX_BYTES) return Keyword{std::move(text)};
    return Text{std::move(text)};
}

const PayloadValue* Payload::find(std::string_view key) const {
    auto it = std::lower_bound(entries.begin(), entries.end(), key,
                               [](const auto& entry, std::string_view k) { return entry.first < k; });
    if (it == entries.end() || it->first != key) return nullptr;
    return &it->second;
}

void Payload::set(std::string key, PayloadValue value) {
    auto it = std::lower_bound(entries.begin(), entries.end(), key,
                               [](const auto& entry, const std::string& k) { return entry.first < k; });
    if (it != entries.end() && it->first == key) {
        it->second = std::move(value);
    } else {
        entries.emplace(it, std::move(key), std::move(value));
    }
}

Payload make_payload(std::vector<std::pair<std::string, PayloadValue>> entries) {
    // Stable sort keeps arrival order among equal keys; the last one wins.
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Payload payload;
    payload.entries.reserve(entries.size());
    for (auto& entry : entries) {
        if (!payload.entries.empty() && payload.entries.back().first == entry.first) {
            payload.entries.back().second = std::move(entry.second);
        } else {
            payload.entries.push_back(std::move(entry));
        }
    }
    payload.entries.shrink_to_fit();
    return payload;
}

std::optional<std::string_view> tenant_of(const Payload* payload) {
    if (payload == nullptr) return std::nullopt;
    const PayloadValue* value = payload->find(TENANT_KEY);
    if (value == nullptr) return std::nullopt;
    if (const auto* keyword = std::get_if<Keyword>(value)) return std::string_view(keyword->value);
    if (const auto* text = std::get_if<Text>(value)) return std::string_view(text->value);
    return std::nullopt;
}

bool matches_tenant(const Payload* payload, std::string_view tenant) {
    auto own = tenant_of(payload);
    return own.has_value() && *own == tenant;
}

}  // namespace karnoxel::core
