// The resource table that our resource compiler generates into each image for the simulated
// machine, the counterpart of a PE file's resource section.
#pragma once

struct winsim_resource {
  const char16_t* type_name;  // null when the type is a number
  unsigned type_id;
  const char16_t* name;  // null when the name is a number
  unsigned name_id;
  unsigned lang;
  const unsigned char* data;
  unsigned size;
};

// Called by an image's generated resource table when the image loads; `anchor` is an address
// inside that image, which tells the machine whose resources they are.
extern "C" __attribute__((visibility("default"))) void winsim_register_resources(const winsim_resource* table,
                                                                                 unsigned count, const void* anchor);
extern "C" __attribute__((visibility("default"))) void winsim_unregister_resources(const void* anchor);
