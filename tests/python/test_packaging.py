"""The package as an index shows it: links, version and changelog agree."""

import importlib.metadata
import pathlib
import re

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]


def test_the_long_description_links_only_absolutely():
    description = importlib.metadata.metadata("kyr").get_payload()
    targets = re.findall(r"\]\(([^)]*)\)", description)
    assert targets, "the README should link to the docs and the changelog"
    assert [target for target in targets if not target.startswith("https://")] == []


def test_project_urls_name_docs_source_issues_and_changelog():
    urls = dict(entry.split(", ", 1)
                for entry in importlib.metadata.metadata("kyr").get_all("Project-URL"))
    assert {"Documentation", "Source", "Issues", "Changelog"} <= set(urls)
    assert all(url.startswith("https://") for url in urls.values())


def test_the_changelog_starts_with_the_installed_version():
    headings = re.findall(r"^## (.+)$", (REPOSITORY / "CHANGELOG.md").read_text(), re.MULTILINE)
    assert headings[0] == importlib.metadata.version("kyr")
