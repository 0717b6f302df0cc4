// A vector of owned elements kept sorted by a key, with no two equal keys: binary search for
// lookups, sorted insertion, erase by key. The device list keeps its devices in one, keyed by
// DevAddr, so a lookup on the uplink path is a handful of comparisons on contiguous pointers.
//
// No locking of its own: the owner guards it (the device list's mutex).
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace BinarySearchVector {

// Base of every element: the key is fixed when the element is made.
template <typename Key>
class ElementTemplate {
 public:
  explicit ElementTemplate(Key key) : key_(key) {}
  virtual ~ElementTemplate() = default;
  ElementTemplate(const ElementTemplate&) = delete;
  ElementTemplate& operator=(const ElementTemplate&) = delete;

  Key key() const { return key_; }

 private:
  const Key key_;
};

// Owns its elements; removing an entry destroys it. Element must derive from
// ElementTemplate<Key>.
template <typename Key, typename Element = ElementTemplate<Key>>
class List {
 public:
  static constexpr std::ptrdiff_t kNotFound = -1;

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  Element* at(size_t index) const { return items_[index].get(); }

  // Index of the element with the key, or kNotFound.
  std::ptrdiff_t find(Key key) const {
    auto it = lowerBound(key);
    if (it == items_.end() || (*it)->key() != key) return kNotFound;
    return it - items_.begin();
  }
  Element* get(Key key) const {
    std::ptrdiff_t index = find(key);
    return index == kNotFound ? nullptr : items_[static_cast<size_t>(index)].get();
  }

  // Inserts at the sorted place. A key already present is refused and the element handed back,
  // so the caller decides what becomes of it; null on success.
  std::unique_ptr<Element> insert(std::unique_ptr<Element> element) {
    auto it = lowerBound(element->key());
    if (it != items_.end() && (*it)->key() == element->key()) return element;
    items_.insert(it, std::move(element));
    return nullptr;
  }

  // Takes the element out of the list without destroying it; null when the key is absent.
  std::unique_ptr<Element> release(Key key) {
    std::ptrdiff_t index = find(key);
    if (index == kNotFound) return nullptr;
    std::unique_ptr<Element> element = std::move(items_[static_cast<size_t>(index)]);
    items_.erase(items_.begin() + index);
    return element;
  }

 private:
  using Items = std::vector<std::unique_ptr<Element>>;
  typename Items::const_iterator lowerBound(Key key) const {
    return std::lower_bound(items_.begin(), items_.end(), key,
                            [](const std::unique_ptr<Element>& e, Key k) { return e->key() < k; });
  }

  Items items_;  // ascending key, unique
};

}  // namespace BinarySearchVector
