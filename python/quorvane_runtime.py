"""Runtime support of quorvane's extension modules.

Holds the class of the exception that the native code raises when it fails
internally, so that every extension module of the package raises this one class
and ``pickle`` finds it by its dotted name, in another process too. Importing
this module has no side effects and imports nothing.
"""

__all__ = ["PanicException"]


class PanicException(BaseException):
    (
        "\n"
        "The exception raised when the native code of this extension, called from\n"
        "Python, panics (fails internally).\n"
        "\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )


# The class carries exactly what the C API's PyErr_NewExceptionWithDoc gives an
# exception class (its docstring and module); a class statement adds a little
# bookkeeping of its own from Python 3.13 on.
for _name in ("__firstlineno__", "__static_attributes__"):
    if _name in PanicException.__dict__:
        delattr(PanicException, _name)
del _name
