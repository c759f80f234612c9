#pragma once

#include <cstddef>
#include <memory>
#include <memory_resource>

namespace fw::linux::nfqueue {

// An allocator drawing from a shared, single-threaded pool that keeps freed blocks for reuse, so that
// per-packet bookkeeping (list nodes, shared entries) costs no heap allocation once the pool is warm.
// Every copy keeps the pool alive, so blocks still held elsewhere (control blocks kept by weak
// handles) can be returned after their first owner is gone.
template <class T> class pooled_allocator_t {
public:
  using value_type = T;
  using resource_t = std::pmr::unsynchronized_pool_resource;

  explicit pooled_allocator_t(std::shared_ptr<resource_t> resource) noexcept : resource_(std::move(resource)) {}
  template <class U>
  pooled_allocator_t(const pooled_allocator_t<U> &other) noexcept : resource_(other.resource()) {}

  T *allocate(std::size_t n) { return static_cast<T *>(resource_->allocate(n * sizeof(T), alignof(T))); }
  void deallocate(T *p, std::size_t n) noexcept { resource_->deallocate(p, n * sizeof(T), alignof(T)); }

  const std::shared_ptr<resource_t> &resource() const noexcept { return resource_; }

  template <class U> bool operator==(const pooled_allocator_t<U> &other) const noexcept {
    return resource_ == other.resource();
  }

private:
  std::shared_ptr<resource_t> resource_;
};

} // namespace fw::linux::nfqueue
