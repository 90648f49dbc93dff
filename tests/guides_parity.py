"""The documents in English and Russian, section for section the same: the
administrators' guides and the signing guides each have the same headings in the
same order, the same code blocks once placeholders and comments are set aside, and
the same codes, thumbprints, GUIDs and versions; in the administrators' guides, the
seven fields in order under each of the five ways to deploy. Usage:
guides_parity.py DOCS_DIR"""
import pathlib
import re
import sys

GUIDES = {"en": "ADMIN-GUIDE.md", "ru": "ADMIN-GUIDE.ru.md"}
SIGNING = {"en": "SIGNING.md", "ru": "SIGNING.ru.md"}
WAYS = 5
FIELDS = {
    "en": ["Install", "Detection", "Return codes", "A new build or a new version",
           "Rollback and removal", "Logs", "Checking the fleet"],
    "ru": ["Установка", "Обнаружение", "Коды возврата", "Новая сборка или новая версия",
           "Откат и удаление", "Журналы", "Проверка парка"],
}
CODE = re.compile(r"^ *```(\w*)\n(.*?)^ *```$", re.M | re.S)
# Hex codes, SHA-1 thumbprints, GUIDs, three-field versions, numbers of 3 to 5 digits.
FACTS = re.compile(r"0x[0-9A-Fa-f]{8}|\b[0-9A-F]{40}\b|\{[0-9A-F-]{36}\}|\b\d\.\d+\.\d+\b|\b\d{3,5}\b")


def code_block(language, text):
    text = re.sub(r"<[^<>\n]*>", "<>", text)  # <thumbprint>, <пароль>: placeholders
    lines = (re.sub(r"(^|\s)#.*$", "", line).rstrip() for line in text.splitlines())
    return language, [line.strip() for line in lines if not re.match(r"\s*@?rem\b", line, re.I)]


def parts(path):
    text = path.read_text(encoding="utf-8")
    prose = CODE.sub("", text)
    headings = re.findall(r"^(#+) (\d[\d.]*)?", prose, re.M)
    # Each way to deploy: from its "### 4.N" heading to the next heading of any level.
    fields = [re.findall(r"^- \*\*(.+?)\.\*\*", section, re.M)
              for section in re.findall(r"^### 4\.\d .*?(?=^#)", prose + "#", re.M | re.S)]
    return {"headings": headings, "fields": fields,
            "code": [code_block(*m) for m in CODE.findall(text)],
            "facts": sorted(set(m.upper() for m in FACTS.findall(text)))}


def first_difference(en, ru):
    i = next((i for i, (a, b) in enumerate(zip(en, ru)) if a != b), min(len(en), len(ru)))
    return f"item {i + 1} of {len(en)} and {len(ru)}: {en[i:i + 1]!r} against {ru[i:i + 1]!r}"


def compare(docs, names):
    documents = {lang: parts(pathlib.Path(docs) / name) for lang, name in names.items()}
    return documents, [f"{names['en']} and {names['ru']}: {what} differ at "
                       f"{first_difference(documents['en'][what], documents['ru'][what])}"
                       for what in ("headings", "code", "facts")
                       if documents["en"][what] != documents["ru"][what]]


def main(docs):
    guides, failures = compare(docs, GUIDES)
    failures += compare(docs, SIGNING)[1]
    for lang, guide in guides.items():
        if len(guide["fields"]) != WAYS:
            failures.append(f"{GUIDES[lang]}: {len(guide['fields'])} ways to deploy, not {WAYS}")
        failures += [f"{GUIDES[lang]}, 4.{i}: the fields are {fields!r}"
                     for i, fields in enumerate(guide["fields"], 1) if fields != FIELDS[lang]]
    print("\n".join(failures) or "the guides are section for section the same")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
