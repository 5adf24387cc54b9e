"""A board file as its maker makes the board, drawn by KiCad: `kicad-cli pcb export svg` draws the
front layers one drawing each over the board's page, each drawing becomes a mask, and the masks
are put together in the board's colours: solder mask over the laminate, lighter over copper;
where the mask opens, the copper's finish (gold) or the bare laminate; silkscreen on top, but not
where the mask opens; drawings on Dwgs.User as thin grey lines."""

import os
import shlex
import subprocess

from desktop import StepFailed

MASK_OVER_LAMINATE, MASK_OVER_COPPER = "#1c5a31", "#3c8d44"
BARE_LAMINATE, FINISH, SILK, USER = "#c9b878", "#d9ab46", "#f4f4ee", "#a9b7ad"

# The layers drawn, with the names kicad-cli gives their drawings (their canonical names).
DRAWN = (("F.Cu", "F_Cu"), ("F.Mask", "F_Mask"), ("F.SilkS", "F_Silkscreen"),
         ("Dwgs.User", "User_Drawings"))

# The layers of a board to be drawn, in the order Bitlay's layer list shows them (the file's).
LAYERS = ("F.Cu", "B.Cu", "F.SilkS", "B.SilkS", "F.Mask", "B.Mask", "Dwgs.User", "Edge.Cuts")


def drawn_board_text(page, items=()):
    """A KiCad 9 board with the layers above and a page of `page` millimetres (width, height),
    holding `items`, lines of board-file text."""
    numbers = {"F.Cu": 0, "B.Cu": 2, "F.SilkS": 5, "B.SilkS": 7, "F.Mask": 1, "B.Mask": 3,
               "Dwgs.User": 17, "Edge.Cuts": 25}
    kinds = {"F.Cu": "signal", "B.Cu": "signal"}
    # The names KiCad 9 shows, as it writes them.
    shown = {"F.SilkS": "F.Silkscreen", "B.SilkS": "B.Silkscreen", "Dwgs.User": "User.Drawings"}
    layers = "\n".join(f'\t\t({numbers[name]} "{name}" {kinds.get(name, "user")}'
                       + (f' "{shown[name]}")' if name in shown else ")") for name in LAYERS)
    return (f'(kicad_pcb\n\t(version 20241229)\n\t(generator "bitlay-artwork")\n'
            f'\t(generator_version "9.0")\n\t(general\n\t\t(thickness 1.6)\n\t)\n'
            f'\t(paper "User" {page[0]} {page[1]})\n\t(layers\n{layers}\n\t)\n'
            f'\t(net 0 "")\n' + "".join(f"{item}\n" for item in items) + ")\n")


class BoardDrawing:
    """The front of `board`, whose page is `page` millimetres (width, height), drawn at `density`
    pixels a millimetre (whole pixels over the page) in `folder`. Areas are (left, top, right,
    bottom) in millimetres of the page, which are the board's own coordinates."""

    def __init__(self, board, page, density, folder):
        self.density = density
        self.size = (round(page[0] * density), round(page[1] * density))
        self.folder = folder
        folder.mkdir()
        subprocess.run(["kicad-cli", "pcb", "export", "svg", "--mode-multi", "--black-and-white",
                        "--exclude-drawing-sheet", "--page-size-mode", "1", "--layers",
                        ",".join(layer for layer, _ in DRAWN), "--output", str(folder),
                        str(board)], check=True, capture_output=True, timeout=120,
                       env=dict(os.environ, HOME=str(folder)))
        # Each drawing becomes a PNG whose opacity is the layer, and the bytes of its coverage,
        # row by row; the four side by side.
        self.masks, running = {}, []
        dpi = str(density * 25.4)
        for layer, name in DRAWN:
            svgs = list(folder.glob(f"*-{name}.svg"))
            if len(svgs) != 1:
                raise StepFailed(f"kicad-cli drew {sorted(p.name for p in folder.iterdir())}, "
                                 f"not one drawing of {layer}")
            png = folder / f"{layer}.png"
            # A transfer's lines lie one pitch apart, each drawn with soft edges: where a pixel is
            # covered more than half, it is the layer's.
            running.append((layer, png, subprocess.Popen(
                f"rsvg-convert --dpi-x {dpi} --dpi-y {dpi} {shlex.quote(str(svgs[0]))} | "
                f"convert png:- -channel A -threshold 50% +channel -write "
                f"{shlex.quote(str(png))} -alpha extract -depth 8 gray:-",
                shell=True, stdout=subprocess.PIPE)))
        for layer, png, process in running:
            coverage, _ = process.communicate(timeout=120)
            if process.returncode != 0 or len(coverage) != self.size[0] * self.size[1]:
                raise StepFailed(f"the drawing of {layer} did not become a mask of the page")
            self.masks[layer] = (png, coverage)

    def rows(self, layer, area):
        """The layer's coverage in `area`, row by row."""
        left, top, right, bottom = (round(v * self.density) for v in area)
        coverage, width = self.masks[layer][1], self.size[0]
        return [coverage[row * width + left:row * width + right] for row in range(top, bottom)]

    def covers(self, layer, area):
        """Whether the layer covers any pixel in `area`."""
        return any(row.count(0) != len(row) for row in self.rows(layer, area))

    def extent(self, layer, area):
        """How wide and how tall, in millimetres, what the layer covers in `area` is."""
        columns, rows = set(), []
        for index, row in enumerate(self.rows(layer, area)):
            if row.count(0) != len(row):
                rows.append(index)
                columns.update(i for i, value in enumerate(row) if value)
        if not rows:
            return 0.0, 0.0
        return ((max(columns) - min(columns) + 1) / self.density,
                (rows[-1] - rows[0] + 1) / self.density)

    def compose(self):
        """The board as made, one PNG of the page."""
        png = {layer: str(path) for layer, (path, _) in self.masks.items()}
        size = f"{self.size[0]}x{self.size[1]}"

        def layer(colour, *shape):
            return ["(", "-size", size, f"xc:{colour}", "(", *shape, ")", "-compose",
                    "CopyOpacity", "-composite", ")", "-compose", "Over", "-composite"]

        self.board = self.folder / "board.png"
        subprocess.run(
            ["convert", "-size", size, f"xc:{MASK_OVER_LAMINATE}",
             *layer(MASK_OVER_COPPER, png["F.Cu"]),
             *layer(BARE_LAMINATE, png["F.Mask"]),
             *layer(FINISH, png["F.Cu"], png["F.Mask"], "-compose", "DstIn", "-composite"),
             *layer(SILK, png["F.SilkS"], png["F.Mask"], "-compose", "DstOut", "-composite"),
             *layer(USER, png["Dwgs.User"]),
             str(self.board)], check=True)

    def crop(self, area, target):
        """The part of the composed board in `area`, as a small PNG."""
        left, top, right, bottom = (round(v * self.density) for v in area)
        subprocess.run(["convert", str(self.board), "-crop", f"{right - left}x{bottom - top}+"
                        f"{left}+{top}", "+repage", "-colors", "32", "-strip", str(target)],
                       check=True)
