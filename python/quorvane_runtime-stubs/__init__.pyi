# Type stubs for quorvane_runtime, the runtime support of the extension modules.
__all__ = ["PanicException"]

class PanicException(BaseException): ...
