from PIL import ImageFile

FORMAT: str
SAVE_ALIASES: tuple[str, ...]
DESCRIPTION: str
EXTENSIONS: tuple[str, ...]

class TarnIffImageFile(ImageFile.ImageFile): ...
