"""The README's relative links (into docs/, and to the other files at the
root) point at files that exist and, with a #fragment, at a heading of that
page.  `mkdocs build --strict` (tools/docs.sh) checks the links between the
docs pages themselves; the README is not one of them."""
import os
import re
import unicodedata

from conftest import ROOT

LINK = re.compile(r"\[(?:[^\]\[]|\[[^\]]*\])*\]\(([^)\s]+)\)")


def slugify(heading):
    """A heading's id as MkDocs (Python-Markdown's toc) makes it; GitHub's
    agrees on the headings linked here."""
    text = re.sub(r"`([^`]*)`", r"\1", heading)
    text = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode()
    text = re.sub(r"[^\w\s-]", "", text).strip().lower()
    return re.sub(r"[-\s]+", "-", text)


def prose(path):
    """The text of a Markdown file without fenced or indented code blocks
    and inline code, where a bracket is not a link."""
    lines, fenced = [], False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("```"):
                fenced = not fenced
                continue
            if fenced or line.startswith("    "):
                continue
            lines.append(re.sub(r"`[^`]*`", "``", line))
    return "".join(lines)


def anchors(path):
    ids, fenced = set(), False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("```"):
                fenced = not fenced
            elif not fenced and (m := re.match(r"#{1,6} (.*?)\s*#*\s*$", line)):
                ids.add(slugify(m.group(1)))
    return ids


def relative_links(path):
    for target in LINK.findall(prose(path)):
        if not re.match(r"[a-z][a-z0-9+.-]*:", target):  # not http:, mailto: ...
            yield target


def test_slugify_matches_mkdocs_ids():
    assert slugify("Watching the GIL: `GilMonitor`") == "watching-the-gil-gilmonitor"
    assert slugify("Each status, and what `-1` can mean") == "each-status-and-what-1-can-mean"
    assert slugify("`dump_threads`") == "dump_threads"


def test_readme_links_point_at_existing_pages_and_headings():
    readme = os.path.join(ROOT, "README.md")
    links = list(relative_links(readme))
    assert any(t.startswith("docs/") for t in links), "the README links into docs/"
    broken = []
    for target in links:
        page, _, fragment = target.partition("#")
        path = os.path.normpath(os.path.join(ROOT, page)) if page else readme
        if not os.path.isfile(path):
            broken.append(f"{target}: no file {os.path.relpath(path, ROOT)}")
        elif fragment and path.endswith(".md") and fragment not in anchors(path):
            broken.append(f"{target}: no heading #{fragment} in {os.path.relpath(path, ROOT)}")
    assert not broken, "broken links in README.md:\n" + "\n".join(broken)


def test_every_docs_page_is_in_the_site_navigation():
    with open(os.path.join(ROOT, "mkdocs.yml"), encoding="utf-8") as f:
        nav = set(re.findall(r":\s*(\S+\.md)\s*$", f.read(), re.M))
    pages = {name for name in os.listdir(os.path.join(ROOT, "docs")) if name.endswith(".md")}
    assert pages == nav, (sorted(pages - nav), sorted(nav - pages))
