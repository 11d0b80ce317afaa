#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quorvel/value.hpp"

namespace quorvel {

// Maps text keys to values. The main tree owns one; each SubTree instance owns its
// own, connected to its parent only through remapping (and `_autoremap`). A key
// starting with '@' always names the entry of the root blackboard.
//
// A blackboard belongs to the tree's thread; it has no lock.
class Blackboard : public std::enable_shared_from_this<Blackboard> {
public:
    using Ptr = std::shared_ptr<Blackboard>;

    static Ptr create(Ptr parent = nullptr);

    // The entry for `key`, following remaps to the parent; nullptr when never written.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }

    // Writes the entry, creating it where the key resolves (here, or in the parent
    // when remapped).
    void set(std::string_view key, Value value);
    // Removes the entry where the key resolves; false when there was none.
    bool erase(std::string_view key);

    // `internal` of this blackboard is the parent's `external` (both without braces).
    void addRemap(std::string internal, std::string external);
    // Keys that no remap names go to the parent entry of the same name.
    void setAutoRemap(bool on) { autoremap_ = on; }

    Blackboard* parent() const { return parent_.get(); }
    Blackboard* root();
    const Blackboard* root() const;

    // Keeps `key` in this blackboard even under autoremap (a SubTree attribute that
    // gives the entry a literal start value).
    void pinLocal(std::string key);

    // How the blackboard was connected when loaded, for pictures of the tree: remaps as
    // (internal, external) pairs, and keys pinned here with a literal start value.
    const std::vector<std::pair<std::string, std::string>>& remaps() const { return remaps_; }
    const std::vector<std::string>& pinned() const { return pinned_; }
    bool autoRemap() const { return autoremap_; }

    // The entries stored in this blackboard itself, sorted by key.
    std::vector<std::pair<std::string, Value>> localEntries() const;

    // Storage of one entry. Where a key resolves is fixed once the tree is loaded
    // (remaps and pins are set while loading), and a slot is never freed before its
    // blackboard (erase only marks it absent), so nodes may keep a pointer to the slot
    // of a bound port instead of looking the key up on every tick.
    struct Slot {
        Value value;
        bool present = false;
    };
    // The slot where `key` resolves, created absent when it does not exist yet.
    Slot& slot(std::string_view key);

private:
    explicit Blackboard(Ptr parent) : parent_(std::move(parent)) {}

    // Where `key` lives: the blackboard and the key inside it.
    std::pair<Blackboard*, std::string_view> resolve(std::string_view key);
    std::pair<const Blackboard*, std::string_view> resolve(std::string_view key) const;

    // Keys are looked up as string_views on every script and port access; the map's
    // keys view the strings owned by the entries themselves, so a lookup never
    // allocates. Entries are never removed (erase marks them absent).
    struct Entry {
        std::string key;
        Slot slot;
    };
    Slot* findSlot(std::string_view key) const;

    Ptr parent_;
    bool autoremap_ = false;
    std::vector<std::pair<std::string, std::string>> remaps_;  // few: searched in order
    std::unordered_map<std::string_view, std::unique_ptr<Entry>> entries_;
    std::vector<std::string> pinned_;
};

}  // namespace quorvel
