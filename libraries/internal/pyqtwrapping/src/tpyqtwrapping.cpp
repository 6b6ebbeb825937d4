// The class's special members, and the one way every conversion reports a refusal.
#include "tpyqtwrapping_p.h"

TPyQtWrapping &TPyQtWrapping::operator=(const TPyQtWrapping &) = default;
TPyQtWrapping &TPyQtWrapping::operator=(TPyQtWrapping &&) = default;

void TPyQtWrapping::showErrorMessage(const QString &message)
{
    // A message whose UTF-8 cannot be made for lack of memory is printed as a MemoryError instead.
    PyQtWrappingPrivate::orRefusal([&] { PyErr_SetString(PyExc_TypeError, message.toUtf8().constData()); },
                                   [] { PyErr_NoMemory(); });
    PyErr_Print(); // clears the error, and any raised by a replaced exception hook too
}
