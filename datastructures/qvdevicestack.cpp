// The device stack's notifier operations and its destruction.
#include "datastructures/qvdevicestack.h"

device_kebab::~device_kebab() { delete has_data; }

void qvdk__signal_has_data(device_kebab* stack) {
  if (stack != nullptr && stack->has_data != nullptr) stack->has_data->Signal();
}

void qvdk__reset_has_data(device_kebab* stack) {
  if (stack != nullptr && stack->has_data != nullptr) stack->has_data->Reset();
}
