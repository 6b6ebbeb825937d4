// The class's special members, and the one way every conversion reports a refusal.
#include "tpyqtwrapping_p.h"

TPyQtWrapping &TPyQtWrapping::operator=(const TPyQtWrapping &) = default;
TPyQtWrapping &TPyQtWrapping::operator=(TPyQtWrapping &&) = default;

void TPyQtWrapping::showErrorMessage(const QString &message)
{
    const QByteArray utf8 = message.toUtf8();
    PyErr_SetString(PyExc_TypeError, utf8.constData());
    PyErr_Print(); // clears the error, and any raised by a replaced exception hook too
}
