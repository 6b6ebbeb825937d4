// Runs in a process of its own: NumPy cannot be imported there, and the array members still work
// on plain Python objects without importing it.
#include "pythontest.h"

using NumpyAbsentTest = PythonTest;

TEST_F(NumpyAbsentTest, ArrayMembersWorkWithoutNumpy)
{
    exec("sys.modules['numpy'] = None\n");
    EXPECT_FALSE(numpyAvailable());
    PyObject *list = in("[1.0, 2]");
    EXPECT_FALSE(W::isNumpyArray(list));
    unsigned long long count = 0;
    std::unique_ptr<double[]> table(W::PyObject2DoubleTable(list, count));
    EXPECT_TRUE(table && count == 2 && table[1] == 2.0);
    EXPECT_EQ(W::PyObject2QListDouble(list), (QList<double>{1.0, -9999.0}));
    EXPECT_EQ(in("sys.modules['numpy']"), Py_None);
}
