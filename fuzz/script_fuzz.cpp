// A registry script as arbitrary bytes, read from memory: the importer as the
// device runs it (writing to the emulated device's registry), and the same
// lines through a sink that checks every value it is handed.
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "device.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "registry/script.h"

namespace {

bool OpenKey(void*, const ScriptHeader* header, std::uint32_t) {
  FUZZ_CHECK(header->root != kRootUnknown);
  FUZZ_CHECK(wtext::Length(header->path, kLineCapacity) < static_cast<std::size_t>(kLineCapacity));
  return true;
}

void Value(void*, const ScriptValue* value) {
  FUZZ_CHECK(wtext::Length(value->name, kScriptNameCapacity) <
             static_cast<std::size_t>(kScriptNameCapacity));
  switch (value->form) {
    case ScriptForm::kString: {
      std::size_t length = wtext::Length(value->text, kScriptTextCapacity);
      FUZZ_CHECK(length < static_cast<std::size_t>(kScriptTextCapacity));
      FUZZ_CHECK(value->size == (length + 1) * 2);
      break;
    }
    case ScriptForm::kDword:
      FUZZ_CHECK(value->size == 4);
      break;
    case ScriptForm::kBinary:
    case ScriptForm::kTypedBinary:
      FUZZ_CHECK(value->size <= static_cast<std::uint32_t>(kScriptBinaryCapacity));
      break;
    case ScriptForm::kNone:
      FUZZ_CHECK(value->size == 0);
      break;
  }
}

void CloseKey(void*) {}

void Note(void*, ScriptNote, std::uint32_t, const char16_t* line) {
  FUZZ_CHECK(wtext::Length(line, kLineCapacity) < static_cast<std::size_t>(kLineCapacity));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::OpenDevice();
  MemoryBytes memory{data, static_cast<std::uint32_t>(size), 0};
  ImportRegistryScriptFrom(MemoryByteSource(&memory));

  static ByteLineReader reader;
  static ScriptValue value;
  memory.position = 0;
  StartByteLines(&reader, MemoryByteSource(&memory));
  ScriptSink sink{nullptr, OpenKey, Value, CloseKey, Note};
  ParseRegistryScript(&reader, &sink, &value);
  fuzz::Renew();
  return 0;
}
