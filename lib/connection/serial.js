'use strict';
// An object's "object.serial" as a number: ids come back at once, serials
// never, so a serial tells whether an id still names the object seen. The
// add-on reads it by the same rule (src/core/PackedProps.h): decimal
// digits only, at most 15; a repeated key keeps its first value, as props
// objects have it. Undefined for anything else.
function serialOf(obj) {
  const text = obj?.props?.['object.serial'];
  return typeof text === 'string' && /^\d{1,15}$/.test(text) ? Number(text) : undefined;
}

module.exports = { serialOf };
