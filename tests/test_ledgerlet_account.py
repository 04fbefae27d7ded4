import dataclasses
import inspect

import pytest

from velkor.ledgerlet import CtpAccount, TradingResult

NAMES = ["broker_id", "user_id", "password", "front_url", "app_id", "auth_code"]
VALID = dict(broker_id="9999", user_id="000123", password="s3cret", front_url="tcp://180.168.146.187:10201",
             app_id="client_app_1.0", auth_code="0000000000000000")
CREDENTIAL_TAIL = " 必须是非空字符串，且不能包含 NUL 字符"


def account(**changes):
    return CtpAccount(**{**VALID, **changes})


class Text(str):
    pass


def test_is_a_frozen_dataclass_with_six_str_fields():
    fields = dataclasses.fields(CtpAccount)
    assert [f.name for f in fields] == NAMES
    assert all(f.default is dataclasses.MISSING for f in fields)
    assert [f.repr for f in fields] == [True, True, False, True, True, False]
    assert CtpAccount.__dataclass_params__.frozen
    assert inspect.getdoc(CtpAccount) == (
        "CTP 直连账户配置，交易凭据不会发送至行情服务。\n\nArgs:\n"
        "    broker_id: 期货公司代码。\n    user_id: 资金账号。\n    password: 交易密码。\n"
        "    front_url: 交易前置地址，格式为 tcp://地址:端口。\n    app_id: 期货公司提供的客户端标识。\n"
        "    auth_code: 期货公司提供的客户端授权码。")


def test_positional_and_keyword_construction_agree():
    a = CtpAccount(*VALID.values())
    assert a == account() and hash(a) == hash(account())
    assert [getattr(a, n) for n in NAMES] == list(VALID.values())


def test_repr_leaves_out_password_and_auth_code():
    text = repr(account())
    assert text == ("CtpAccount(broker_id='9999', user_id='000123', "
                    "front_url='tcp://180.168.146.187:10201', app_id='client_app_1.0')")
    assert "s3cret" not in text and "0000000000000000" not in text


@pytest.mark.parametrize("name", ["password", "auth_code", "broker_id"])
def test_every_field_counts_in_equality_and_hash(name):
    other = account(**{name: "x" + VALID[name]})
    assert other != account()
    assert len({account(), other}) == 2


def test_frozen_and_unordered():
    a = account()
    for action in (lambda: setattr(a, "password", "other"), lambda: delattr(a, "user_id")):
        with pytest.raises(dataclasses.FrozenInstanceError):
            action()
    assert a.password == "s3cret"
    with pytest.raises(TypeError):
        a < account()


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("value", ["", None, 5, b"bytes", "a\x00b", "\x00", "ok\x00"])
def test_invalid_credentials_name_the_field(name, value):
    with pytest.raises(ValueError) as info:
        account(**{name: value})
    assert info.value.args == (name + CREDENTIAL_TAIL,)


def test_first_failing_field_in_order_is_reported():
    with pytest.raises(ValueError, match="^broker_id "):
        account(broker_id="", auth_code=None)
    with pytest.raises(ValueError, match="^user_id "):
        account(front_url="http://x", user_id="")  # the scheme is checked only after every field


@pytest.mark.parametrize("url", ["udp://1.2.3.4:5", "TCP://1.2.3.4:5", "tcp:/1.2.3.4", " tcp://1.2.3.4:5", "1.2.3.4:5"])
def test_front_url_needs_the_tcp_scheme(url):
    with pytest.raises(ValueError) as info:
        account(front_url=url)
    assert info.value.args == ("front_url 必须以 tcp:// 开头",)


@pytest.mark.parametrize("changes", [dict(front_url="tcp://"), dict(user_id=Text("subclass")),
                                     dict(password=" pass word "), dict(app_id="应用")])
def test_accepted_values(changes):
    assert account(**changes).front_url.startswith("tcp://")


def test_replace_validates_again():
    assert dataclasses.replace(account(), password="new").password == "new"
    with pytest.raises(ValueError, match="^password "):
        dataclasses.replace(account(), password="")


def test_missing_argument_is_the_usual_type_error():
    with pytest.raises(TypeError):
        CtpAccount("9999", "u", "p", "tcp://x", "app")


def test_trading_result_dataclass():
    fields = dataclasses.fields(TradingResult)
    assert [(f.name, f.type) for f in fields] == [
        ("status", "Literal['SUBMITTED', 'REJECTED', 'UNKNOWN']"), ("order_id", "str | None"), ("message", "str")]
    assert fields[2].default == "" and fields[0].default is dataclasses.MISSING
    assert TradingResult.__doc__ == "一次交易操作的即时提交结果；不是最终委托或撤单结果。"
    a = TradingResult("SUBMITTED", "1:2:3")
    b = TradingResult(status="SUBMITTED", order_id="1:2:3", message="")
    assert a == b and hash(a) == hash(b) and a.message == ""
    assert a != TradingResult("SUBMITTED", "1:2:3", "x")
    assert repr(TradingResult("REJECTED", None, "撤单未提交")) == \
        "TradingResult(status='REJECTED', order_id=None, message='撤单未提交')"
    with pytest.raises(dataclasses.FrozenInstanceError):
        a.status = "REJECTED"
    with pytest.raises(TypeError):
        TradingResult("SUBMITTED")
