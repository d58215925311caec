from PIL import ImageFile

FORMAT: str
DESCRIPTION: str
EXTENSIONS: tuple[str, ...]

class TarnIffImageFile(ImageFile.ImageFile): ...
