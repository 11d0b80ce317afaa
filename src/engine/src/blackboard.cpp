#include "quorvel/blackboard.hpp"

#include <algorithm>

namespace quorvel {

Blackboard::Ptr Blackboard::create(Ptr parent) {
    return Ptr(new Blackboard(std::move(parent)));
}

Blackboard* Blackboard::root() {
    Blackboard* b = this;
    while (b->parent_) b = b->parent_.get();
    return b;
}

const Blackboard* Blackboard::root() const {
    const Blackboard* b = this;
    while (b->parent_) b = b->parent_.get();
    return b;
}

std::pair<const Blackboard*, std::string_view> Blackboard::resolve(std::string_view key) const {
    const Blackboard* b = this;
    // Each step moves to a parent, so the walk ends at the root at the latest.
    while (true) {
        if (!key.empty() && key.front() == '@') return {b->root(), key.substr(1)};
        if (!b->parent_) return {b, key};
        auto remap = std::find_if(b->remaps_.begin(), b->remaps_.end(), [&](const auto& r) { return r.first == key; });
        if (remap != b->remaps_.end()) {
            key = remap->second;
            b = b->parent_.get();
            continue;
        }
        if (b->autoremap_ && std::find(b->pinned_.begin(), b->pinned_.end(), key) == b->pinned_.end()) {
            b = b->parent_.get();
            continue;
        }
        return {b, key};
    }
}

std::pair<Blackboard*, std::string_view> Blackboard::resolve(std::string_view key) {
    auto [b, k] = static_cast<const Blackboard*>(this)->resolve(key);
    return {const_cast<Blackboard*>(b), k};
}

Blackboard::Slot* Blackboard::findSlot(std::string_view key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second->slot;
}

const Value* Blackboard::find(std::string_view key) const {
    auto [b, k] = resolve(key);
    const Slot* s = b->findSlot(k);
    return s && s->present ? &s->value : nullptr;
}

Value* Blackboard::find(std::string_view key) {
    return const_cast<Value*>(static_cast<const Blackboard*>(this)->find(key));
}

Blackboard::Slot& Blackboard::slot(std::string_view key) {
    auto [b, k] = resolve(key);
    if (Slot* s = b->findSlot(k)) return *s;
    auto entry = std::make_unique<Entry>();
    entry->key = std::string(k);
    Slot& s = entry->slot;
    std::string_view view = entry->key;
    b->entries_.emplace(view, std::move(entry));
    return s;
}

void Blackboard::set(std::string_view key, Value value) {
    Slot& s = slot(key);
    s.value = std::move(value);
    s.present = true;
}

bool Blackboard::erase(std::string_view key) {
    auto [b, k] = resolve(key);
    Slot* s = b->findSlot(k);
    if (!s || !s->present) return false;
    s->present = false;
    // Drop the value now: it may hold an embedder object whose owner expects it freed.
    s->value = Value();
    return true;
}

void Blackboard::addRemap(std::string internal, std::string external) {
    for (auto& [from, to] : remaps_) {
        if (from == internal) {
            to = std::move(external);
            return;
        }
    }
    remaps_.emplace_back(std::move(internal), std::move(external));
}

void Blackboard::pinLocal(std::string key) {
    if (std::find(pinned_.begin(), pinned_.end(), key) == pinned_.end()) pinned_.push_back(std::move(key));
}

std::vector<std::pair<std::string, Value>> Blackboard::localEntries() const {
    std::vector<std::pair<std::string, Value>> out;
    for (const auto& [key, entry] : entries_) {
        if (entry->slot.present) out.emplace_back(entry->key, entry->slot.value);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

}  // namespace quorvel
