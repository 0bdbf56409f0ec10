"""The features argument through the whole call: every parser message arrives unchanged,
the first failing item decides, and a valid list is refused by the port."""

import pytest

VALUE = "must be a non-negative integer or on/off"

FEATURE_ERRORS = [
    ("liga=x", f'bad feature "liga=x": feature value "x" {VALUE}'),
    ("liga=-1", f'bad feature "liga=-1": feature value "-1" {VALUE}'),
    ("liga=+1", f'bad feature "liga=+1": feature value "+1" {VALUE}'),
    ("liga=1 2", f'bad feature "liga=1 2": feature value "1 2" {VALUE}'),
    ("liga=[1:3]", f'bad feature "liga=[1:3]": feature value "[1:3]" {VALUE}'),
    ("abcde=x", f'bad feature "abcde=x": feature value "x" {VALUE}'),
    ("liga=2147483648",
     'bad feature "liga=2147483648": feature value "2147483648" out of range: '
     "number too large to fit in target type"),
    ("liga=", 'bad feature "liga=": `=` without a value'),
    ("liga[1:3]", 'bad feature "liga[1:3]": range syntax `[start:end]` is not supported '
     "\u2014 features apply to the whole run"),
    ("liga [1:3]", 'bad feature "liga [1:3]": range syntax `[start:end]` is not supported '
     "\u2014 features apply to the whole run"),
    ("-", 'bad feature "-": missing feature tag'),
    ("+ ", 'bad feature "+": missing feature tag'),
    ("=1", 'bad feature "=1": feature tag "" must be 1..=4 characters (got 0)'),
    ("abcde", 'bad feature "abcde": feature tag "abcde" must be 1..=4 characters (got 5)'),
    ("''=3", "bad feature \"''=3\": feature tag \"\" must be 1..=4 characters (got 0)"),
    ("\u00e9", 'bad feature "\u00e9": feature tag "\u00e9" contains a non-printable-ASCII '
     "byte 0xc3"),
    ("'\t'", "bad feature \"'\\t'\": feature tag \"\\t\" contains a non-printable-ASCII "
     "byte 0x09"),
    ("\u200bx=1", 'bad feature "\\u{200b}x=1": feature tag "\\u{200b}x" contains a '
     "non-printable-ASCII byte 0xe2"),
    ('"ab', 'bad feature "\\"ab": unterminated quoted tag "\\"ab"'),
    ("liga,'a,b'", "bad feature \"'a\": unterminated quoted tag \"'a\""),
    # The first failing item decides; items are trimmed before they are quoted.
    ("liga, kern=on ,  x=1 2 , =1", f'bad feature "x=1 2": feature value "1 2" {VALUE}'),
    ("-liga=1,+smcp=0,\u00a0abcde\u00a0", 'bad feature "abcde": feature tag "abcde" must be '
     "1..=4 characters (got 5)"),
]


@pytest.mark.parametrize("features, message", FEATURE_ERRORS)
def test_bad_feature_list_message_reaches_caller(engine, fake, features, message):
    assert engine.error("abc", fake, features=features) == message
    assert fake.raw_log() == ""


@pytest.mark.parametrize("features", [
    "liga", "-kern", "+smcp", "liga=ON", "liga=Off", " - liga  =  2 ", "liga 3",
    "liga, kern ,, -calt", "liga=2147483647", "'a b'=3", "liga=007",
])
def test_valid_feature_list_is_refused_by_the_port(engine, fake, features):
    message = engine.error("abc", fake, features=features)
    assert message.startswith(f'features "{features}" cannot be applied by the loaded Wine '
                              "Uniscribe port: ")
    assert fake.raw_log() == ""
