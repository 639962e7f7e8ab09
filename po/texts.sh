# Sourced by check-catalogs and update-catalogs: the languages and the texts to translate.
po_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The languages of po/LINGUAS.
languages() { sed 's/#.*//' "$po_root/po/LINGUAS" | tr -s ' \t' '\n\n' | sed '/^$/d'; }

# Every text marked for translation in the sources (tr, trn, N_), as a template: OUT.pot.
extract_texts() {
  local sources
  mapfile -t sources < <(cd "$po_root" && find agent download driver host net ui platform \
    \( -name '*.cpp' -o -name '*.h' \) | sort)
  (cd "$po_root" && xgettext --language=C++ --from-code=UTF-8 --keyword=tr --keyword=trn:1,2 \
    --keyword=N_ --add-comments=TRANSLATORS: --no-wrap --package-name=bootstrap-installer \
    -o - "${sources[@]}") |
    # A header that does not change with each run, in the catalogs' encoding.
    sed -e '/^"POT-Creation-Date: /d' -e '/^"Report-Msgid-Bugs-To: /d' -e 's/charset=CHARSET/charset=UTF-8/' >"$1"
}
