from marrow._marrow import Marrow

__all__ = ["Marrow"]
