// The conversion reference that pyqtwrap --reference writes (docs/conversions.md).
#ifndef REFERENCE_H
#define REFERENCE_H

// Writes the reference as Markdown to standard output; the interpreter must be initialised and
// its lock held. Returns the exit status.
int writeReference();

#endif // REFERENCE_H
