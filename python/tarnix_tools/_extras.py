import importlib
def require(module, extra):
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(f"{module} is needed: pip install 'tarnix[{extra}]'") from e
