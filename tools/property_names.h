// The camera property set's items as an application names them: the item names and which
// record each one exchanges. The identifiers and records come from the driver's own header,
// as an application would take them from the camera's SDK header.
#pragma once

#include <string>

#include "control/property_set.h"

namespace tool {

enum class Record { Value, Roi, Raw };

const char* PropertyName(ULONG id);
Record PropertyRecord(ULONG id);
ULONG RecordSize(Record record);
// Accepts a name in any case or a decimal identifier 0..68.
bool PropertyFromText(const std::string& text, ULONG* id);
// The first of the three range items (minimum, maximum, default) of a setting that has them;
// false for the others.
bool RangeItemsOf(ULONG id, ULONG* minimumId);

}  // namespace tool
