// Runs in a process of its own: NumPy cannot be imported there, and the array members still
// work on plain Python objects.
#include "pythontest.h"

#include <memory>

using NumpyAbsentTest = PythonTest;

TEST_F(NumpyAbsentTest, ArrayMembersWorkWithoutNumpy)
{
    exec("sys.modules['numpy'] = None\n"
         "try:\n"
         "    import numpy\n"
         "    imported = True\n"
         "except ImportError:\n"
         "    imported = False\n");
    ASSERT_EQ(eval("imported").get(), Py_False);

    PyRef list = eval("[1.0, 2]");
    EXPECT_FALSE(TPyQtWrapping::isNumpyArray(list.get()));
    unsigned long long count = 0;
    std::unique_ptr<double[]> table(TPyQtWrapping::PyObject2DoubleTable(list.get(), count));
    ASSERT_TRUE(table);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(table[1], 2.0);
    EXPECT_EQ(TPyQtWrapping::PyObject2QListDouble(list.get()), (QList<double>{1.0, -9999.0}));
    EXPECT_EQ(eval("'numpy' in sys.modules and sys.modules['numpy'] is not None").get(), Py_False);
}
