"""A picture to check a result by eye: the middle plane of the image with
the class outlines over it, beside its labels in colour, under a title."""
import textwrap

import numpy as np

# Distinct colours for the first classes (label 1 onwards); further classes
# take hues spread by the golden ratio. Label 0, outside the mask, is black.
CLASS_COLOURS = ((230, 25, 75), (60, 180, 75), (255, 225, 25), (0, 130, 200), (245, 130, 48), (145, 30, 180),
                 (70, 240, 240), (240, 50, 230), (210, 245, 60), (250, 190, 212))
PANEL_SIDE = (384, 768)  # a panel's longer side: small images are enlarged to the first, large reduced to the second
GAP = 8
MARGIN = 6


def write_preview(path, pixels, channel_axis, labels, title, write_whole):
    """Writes the PNG through write_whole (the atomic writer)."""
    from PIL import Image, ImageDraw, ImageFont

    plane = labels.shape[0] // 2 if labels.ndim == 3 else None
    if channel_axis is not None:
        pixels = np.moveaxis(pixels, channel_axis, -1)
    if plane is not None:
        title = f"{title}\nplane {plane + 1} of {labels.shape[0]} (the middle one)"
        pixels, labels = pixels[plane], labels[plane]
    grey = _display_values(pixels)
    size = _panel_size(labels.shape)
    picture = Image.fromarray(grey).resize(size, Image.NEAREST).convert("RGB")
    label_picture = Image.fromarray(labels.astype(np.int32), mode="I").resize(size, Image.NEAREST)
    scaled_labels = np.asarray(label_picture)
    colours = _colours(int(labels.max(initial=0)))[scaled_labels]
    outlined = np.asarray(picture).copy()
    edge = _outline(scaled_labels)
    outlined[edge] = colours[edge]

    font = ImageFont.load_default()
    line_height = font.getbbox("Ag")[3] + 3
    width = 2 * size[0] + GAP + 2 * MARGIN
    characters = max(20, (width - 2 * MARGIN) // max(1, font.getbbox("x")[2]))
    lines = [piece for line in title.split("\n") for piece in textwrap.wrap(line, characters)]
    top = MARGIN + line_height * (len(lines) + 1)
    canvas = Image.new("RGB", (width, top + size[1] + MARGIN), "white")
    draw = ImageDraw.Draw(canvas)
    for row, line in enumerate(lines):
        draw.text((MARGIN, MARGIN + row * line_height), line, fill="black", font=font)
    draw.text((MARGIN, top - line_height), "image, with the class outlines", fill="black", font=font)
    _legend(draw, font, (MARGIN + size[0] + GAP, top - line_height), line_height, size[0], labels)
    for column, panel in enumerate((outlined, colours)):
        canvas.paste(Image.fromarray(panel.astype(np.uint8)), (MARGIN + column * (size[0] + GAP), top))
    write_whole(path, lambda temporary: canvas.save(temporary, format="PNG"))


def _display_values(pixels):
    """Grey or RGB bytes, each channel stretched between its 0.5 and 99.5 percentiles."""
    values = pixels.astype(np.float64)
    if values.ndim == 3:
        values = values[..., :3] if values.shape[-1] >= 3 else values[..., 0]
    finite = values[np.isfinite(values)]
    low, high = np.percentile(finite, (0.5, 99.5)) if finite.size else (0.0, 1.0)
    stretched = (np.nan_to_num(values, nan=low) - low) / (high - low if high > low else 1.0)
    return (np.clip(stretched, 0, 1) * 255).round().astype(np.uint8)


def _panel_size(shape):
    rows, columns = shape
    longer = max(rows, columns)
    if longer < PANEL_SIDE[0]:
        factor = PANEL_SIDE[0] // longer
    elif longer > PANEL_SIDE[1]:
        factor = PANEL_SIDE[1] / longer
    else:
        factor = 1
    return max(1, round(columns * factor)), max(1, round(rows * factor))


def _colours(largest_label):
    table = [(0, 0, 0)] + list(CLASS_COLOURS[:largest_label])
    golden = 0.618033988749895
    for label in range(len(CLASS_COLOURS) + 1, largest_label + 1):
        table.append(_hue((label * golden) % 1.0))
    return np.array(table, dtype=np.uint8)


def _hue(hue):
    """A saturated colour of the given hue (0..1)."""
    sector, fraction = divmod(hue * 6, 1)
    rising, falling = round(255 * fraction), round(255 * (1 - fraction))
    return [(255, rising, 0), (falling, 255, 0), (0, 255, rising), (0, falling, 255), (rising, 0, 255),
            (255, 0, falling)][int(sector) % 6]


def _outline(labels):
    """Pixels with a differing neighbour in their row or column: both sides
    of a boundary, each in its own class's colour."""
    edge = np.zeros(labels.shape, bool)
    across = labels[:, :-1] != labels[:, 1:]
    down = labels[:-1, :] != labels[1:, :]
    edge[:, :-1] |= across
    edge[:, 1:] |= across
    edge[:-1, :] |= down
    edge[1:, :] |= down
    return edge


def _legend(draw, font, corner, line_height, width, labels):
    """"labels:" and a swatch of each label's colour, as many as fit."""
    left, top = corner
    draw.text((left, top), "labels:", fill="black", font=font)
    x = left + draw.textlength("labels: ", font=font)
    present = np.unique(labels)
    colours = _colours(int(present[-1]))
    for label in present:
        text = str(label)
        step = line_height + draw.textlength(text + "  ", font=font)
        if x + step > left + width:
            draw.text((x, top), "...", fill="black", font=font)
            break
        draw.rectangle((x, top, x + line_height - 4, top + line_height - 4), fill=tuple(colours[label]))
        draw.text((x + line_height, top), text, fill="black", font=font)
        x += step
