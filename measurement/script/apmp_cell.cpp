#include "measurement/script/apmp_cell.h"

#include <vector>

#include "measurement/script/apmp_object_manager.h"

namespace {

// Cells whose count reached zero while another cell of this thread was being destroyed.
thread_local std::vector<const APMPCell*> t_pending;
thread_local bool t_draining = false;

}  // namespace

APMPCell::~APMPCell() {
  if (manager_) manager_->removeObject(this);
}

void APMPCell::mark(APMPMarker&) const {}

void APMPCell::release() const {
  if (immortal_) return;
  if (--refs_ != 0) return;
  if (t_draining) {
    t_pending.push_back(this);
    return;
  }
  t_draining = true;
  delete this;
  while (!t_pending.empty()) {
    const APMPCell* next = t_pending.back();
    t_pending.pop_back();
    delete next;
  }
  t_draining = false;
}
