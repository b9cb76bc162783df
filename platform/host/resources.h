// Host build: the program's resources, embedded at build time (see
// cmake/EmbedResources.cmake) and served for its own module.
#pragma once

#include <cstddef>

#include "platform/win32.h"

namespace kstv::host {

struct EmbeddedResource {
  const char* typeName;  // a named type such as "REGISTRY", or null for an integer type
  WORD typeId;           // the integer type when typeName is null (24: manifest)
  WORD id;
  const unsigned char* bytes;
  std::size_t size;
};

struct EmbeddedString {
  UINT id;
  const char* text;
};

struct ResourceTable {
  const EmbeddedResource* resources;
  std::size_t resourceCount;
  const EmbeddedString* strings;
  std::size_t stringCount;
};

// Called once by the generated table; returns true so that it can initialise a constant.
// A test may register another table for a while and then the one it replaced.
bool registerOwnModuleResources(const ResourceTable& table);
// The table registered now (all empty when none is).
ResourceTable ownModuleResources();

}  // namespace kstv::host
