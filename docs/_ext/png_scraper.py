"""A sphinx-gallery scraper for examples that save their own pictures: after
each block, the PNG files the script wrote into its folder are moved into the
gallery's image folder and shown."""
import glob
import os
import shutil


def png_scraper(block, block_vars, gallery_conf):
    src_dir = os.path.dirname(block_vars["src_file"])
    found = sorted(glob.glob(os.path.join(src_dir, "*.png")))
    images = []
    paths = block_vars["image_path_iterator"]
    for path in found:
        target = next(paths)
        shutil.move(path, target)
        images.append(target)
    if not images:
        return ""
    from sphinx_gallery.scrapers import figure_rst

    return figure_rst(images, gallery_conf["src_dir"])
